# The fuzz targets, one program each; the replay test of the normal suite builds the same sources.
set(FUZZ_TARGET_SOURCES archive_fuzz.cpp client_manifest_fuzz.cpp config_fuzz.cpp parse_integer_fuzz.cpp patch_list_fuzz.cpp
                        text_buffer_fuzz.cpp trust_statement_fuzz.cpp)
list(TRANSFORM FUZZ_TARGET_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
