#include "framework/critical_section.h"

#include "framework/win32/win32_support.h"

namespace pc {

struct TCriticalSection::State {
    CRITICAL_SECTION section;
};

TCriticalSection::TCriticalSection() : state_(std::make_unique<State>()) {
    ::InitializeCriticalSection(&state_->section);
}

TCriticalSection::~TCriticalSection() {
    ::DeleteCriticalSection(&state_->section);
}

void TCriticalSection::lock() {
    ::EnterCriticalSection(&state_->section);
}

void TCriticalSection::unlock() {
    ::LeaveCriticalSection(&state_->section);
}

bool TCriticalSection::try_lock() {
    return ::TryEnterCriticalSection(&state_->section) != 0;
}

} // namespace pc
