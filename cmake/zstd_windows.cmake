# libzstd for the Windows edition, compiled from Debian's own libzstd source package, which
# scripts/bootstrap fetches with apt (signature checked) and unpacks into build/deps/libzstd. Only the
# compressor and the decompressor are built; the hand-written x86-64 assembly is left out (it is written
# for the ELF and Mach-O calling conventions), so the portable C decoder is used.
set(PATCH_ZSTD_SOURCE "${PROJECT_SOURCE_DIR}/build/deps/libzstd" CACHE PATH
    "Debian's libzstd source package, unpacked (scripts/bootstrap fetches it)")
if(NOT EXISTS "${PATCH_ZSTD_SOURCE}/lib/zstd.h")
  message(FATAL_ERROR "libzstd's source is not at ${PATCH_ZSTD_SOURCE}: run scripts/bootstrap")
endif()
file(GLOB PATCH_ZSTD_SOURCES CONFIGURE_DEPENDS
     "${PATCH_ZSTD_SOURCE}/lib/common/*.c" "${PATCH_ZSTD_SOURCE}/lib/compress/*.c"
     "${PATCH_ZSTD_SOURCE}/lib/decompress/*.c")
add_library(zstd_windows STATIC ${PATCH_ZSTD_SOURCES})
# Third-party code: its own warnings are not ours to fix, and it is compiled without -Werror.
target_compile_options(zstd_windows PRIVATE -w)
target_compile_definitions(zstd_windows PRIVATE ZSTD_DISABLE_ASM ZSTD_MULTITHREAD XXH_NAMESPACE=ZSTD_)
target_include_directories(zstd_windows SYSTEM PUBLIC "${PATCH_ZSTD_SOURCE}/lib")
