#include "window/win32/screen_spot.h"

#include <string>

namespace pc {

namespace {

// More launchers than this at once share the last spots' places anyway.
constexpr int kSpots = 32;

} // namespace

TScreenSpot::TScreenSpot() {
    for (int spot = 0; spot < kSpots; ++spot) {
        const std::wstring name = L"Local\\PatchClient.WindowSpot." + std::to_wstring(spot);
        win32::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
        if (!mutex.Valid())
            return;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            mutex_ = std::move(mutex);
            index_ = spot;
            return;
        }
    }
}

} // namespace pc
