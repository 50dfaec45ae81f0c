// Transfers on POSIX descriptors that go on until every byte has moved.
#pragma once

#include <cerrno>
#include <cstdint>

namespace pc::posix {

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
