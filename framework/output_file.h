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
    bool IsOpen() const { return fd_ >= 0; }

private:
    friend void CreateOutputFile(TOutputFile&, const std::string&);
    friend void ContinueOutputFile(TOutputFile&, const std::string&, std::int64_t);
    friend void WriteOutputBytes(TOutputFile&, const void*, std::size_t);
    friend void CloseOutputFile(TOutputFile&);
    int fd_ = -1;
    std::string path_;
};

void CreateOutputFile(TOutputFile& file, const std::string& path); // EInOutError
// Opens an existing file to write on after its first `length` bytes; anything after them is cut off.
void ContinueOutputFile(TOutputFile& file, const std::string& path, std::int64_t length); // EInOutError
void WriteOutputBytes(TOutputFile& file, const void* buffer, std::size_t count);          // EInOutError
void CloseOutputFile(TOutputFile& file);                                                  // EInOutError

std::string InOutErrorMessage(int code);
int InOutCodeFromErrno(int err);

} // namespace pc
