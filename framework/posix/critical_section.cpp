#include "framework/critical_section.h"

#include <mutex>

namespace pc {

struct TCriticalSection::State {
    std::recursive_mutex mutex;
};

TCriticalSection::TCriticalSection() : state_(std::make_unique<State>()) {}
TCriticalSection::~TCriticalSection() = default;

void TCriticalSection::lock() {
    state_->mutex.lock();
}

void TCriticalSection::unlock() {
    state_->mutex.unlock();
}

bool TCriticalSection::try_lock() {
    return state_->mutex.try_lock();
}

} // namespace pc
