#include "framework/output_file.h"

#include "framework/exceptions.h"

namespace pc {

void RaiseInOutError(int code, const std::string& path) {
    throw EInOutError(InOutErrorMessage(code), code, path);
}

std::string InOutErrorMessage(int code) {
    switch (code) {
    case kFileNotFoundCode:
        return "File not found";
    case kInvalidFilenameCode:
        return "Invalid filename";
    case kTooManyOpenFilesCode:
        return "Too many open files";
    case kAccessDeniedCode:
        return "File access denied";
    case kReadBeyondEndCode:
        return "Read beyond end of file";
    case kDiskFullCode:
        return "Disk full";
    case kInvalidNumericInputCode:
        return "Invalid numeric input";
    default:
        return "I/O error " + std::to_string(code);
    }
}

} // namespace pc
