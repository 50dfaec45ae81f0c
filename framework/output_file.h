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
    std::intptr_t handle_ = -1; // the platform's descriptor or handle
    std::string path_;
};

void CreateOutputFile(TOutputFile& file, const std::string& path); // EInOutError
// Opens an existing file to write on after its first `length` bytes; anything after them is cut off.
void ContinueOutputFile(TOutputFile& file, const std::string& path, std::int64_t length); // EInOutError
void WriteOutputBytes(TOutputFile& file, const void* buffer, std::size_t count);          // EInOutError
void CloseOutputFile(TOutputFile& file);                                                  // EInOutError

// The table's code for a write that stored fewer bytes than asked: the disk is full ("Disk full").
inline constexpr int kDiskFullCode = 101;

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
