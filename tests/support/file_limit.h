// Makes the disk look full for this process: writes past `bytes` in any file fail (RLIMIT_FSIZE), as
// they would on a full disk. The previous limit comes back when the object goes out of scope. Windows has
// no such limit per process; there the tests that need one are skipped.
#pragma once

#ifndef _WIN32

#include <csignal>
#include <sys/resource.h>

namespace pc::test {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN); // fail the write instead of killing the process
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = SIG_DFL;
};

} // namespace pc::test

#endif
