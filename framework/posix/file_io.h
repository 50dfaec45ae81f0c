// Whole-file reads and crash-safe whole-file replacement for the text services.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace pc::posix {

// All bytes of a file. EFOpenError "Cannot open file %s" when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path);

// Replaces the file by `bytes` through a temporary file in the same directory that is written, flushed to
// disk and renamed over the target, so that readers and crashes see either the old or the new content.
// EFCreateError "Cannot create file %s" when the file cannot be made or replaced, EWriteError
// "Stream write error" when the bytes do not all reach the disk; in both cases the old file stays.
void ReplaceFile(const std::string& path, const std::string& bytes);

// Repeats one partial read or write until `count` bytes have moved, the call reports the end (0) or an
// error; interrupted calls are retried. `step(done)` makes one system call for the bytes from `done` on and
// returns what it returned. The result is the number of bytes moved.
template <class Step> std::int64_t TransferFully(std::int64_t count, Step step) {
    std::int64_t done = 0;
    while (done < count) {
        const auto n = static_cast<std::int64_t>(step(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

} // namespace pc::posix
