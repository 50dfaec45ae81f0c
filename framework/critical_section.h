// A lock that the thread holding it may take again: a critical section on Windows, a recursive mutex
// elsewhere. Meets the standard's Lockable requirements, so std::lock_guard takes it.
#pragma once

#include <memory>

namespace pc {

class TCriticalSection {
public:
    TCriticalSection();
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;
    ~TCriticalSection();

    void lock();
    void unlock();
    bool try_lock();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace pc
