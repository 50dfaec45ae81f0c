// The untyped output file that downloads are written through, with its I/O error codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pc {

class TOutputFile {
public:
    TOutputFile() = default;
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;
    ~TOutputFile();
    bool IsOpen() const { return handle_ != -1; }

private:
    friend void CreateOutputFile(TOutputFile&, const std::string&);
    friend void ContinueOutputFile(TOutputFile&, const std::string&, std::int64_t);
    friend void WriteOutputBytes(TOutputFile&, const void*, std::size_t);
    friend void CloseOutputFile(TOutputFile&);
    friend bool OutputRoomFor(TOutputFile&, std::int64_t);
    std::intptr_t handle_ = -1; // the platform's descriptor or handle
    std::string path_;
};

void CreateOutputFile(TOutputFile& file, const std::string& path); // EInOutError
// Opens an existing file to write on after its first `length` bytes; anything after them is cut off.
void ContinueOutputFile(TOutputFile& file, const std::string& path, std::int64_t length); // EInOutError
void WriteOutputBytes(TOutputFile& file, const void* buffer, std::size_t count);          // EInOutError
void CloseOutputFile(TOutputFile& file);                                                  // EInOutError
// Whether `count` more bytes fit after the file's end: on its disk, and within the process's limit on the
// size of files where the system sets one. A writer that holds bytes back to write them in large pieces
// asks first, so that it never takes bytes it cannot store.
bool OutputRoomFor(TOutputFile& file, std::int64_t count);

// The codes of the I/O error table, each with its message below.
inline constexpr int kFileNotFoundCode = 2;          // "File not found"
inline constexpr int kInvalidFilenameCode = 3;       // "Invalid filename": a folder on the way is missing
inline constexpr int kTooManyOpenFilesCode = 4;      // "Too many open files"
inline constexpr int kAccessDeniedCode = 5;          // "File access denied"
inline constexpr int kReadBeyondEndCode = 100;       // "Read beyond end of file"
inline constexpr int kDiskFullCode = 101;            // "Disk full": a write stored fewer bytes than asked
inline constexpr int kInvalidNumericInputCode = 106; // "Invalid numeric input"

std::string InOutErrorMessage(int code);
// The I/O code of the table for a system error (errno on POSIX; on Windows the system's own codes, which
// the table was made of).
int InOutCodeFromSystemError(int err);
// Whether an I/O code of a file's creation says that the name itself cannot be made here (too long,
// characters or a form the file system refuses), as opposed to a missing folder, a full disk, missing
// rights or a file held by another program.
bool IsUnusableNameCode(int code);
// EInOutError with the table's message, naming the file it concerns.
[[noreturn]] void RaiseInOutError(int code, const std::string& path);

} // namespace pc
