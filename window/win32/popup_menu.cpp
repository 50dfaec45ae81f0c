#include "window/win32/popup_menu.h"

#include <map>

#include <utility>

namespace pc {

namespace {

class TMenuHandle {
public:
    TMenuHandle() : menu_(::CreatePopupMenu()) {}
    ~TMenuHandle() {
        if (menu_ != nullptr)
            ::DestroyMenu(menu_);
    }
    TMenuHandle(const TMenuHandle&) = delete;
    TMenuHandle& operator=(const TMenuHandle&) = delete;
    HMENU Get() const { return menu_; }

private:
    HMENU menu_;
};

} // namespace

TPopupMenu::TPopupMenu(HWND window, UINT answer, POINT at, std::vector<TMenuEntry> entries)
    : thread_(
          [this, window, answer, at, entries = std::move(entries)] { Run(window, answer, at, entries); }) {}

TPopupMenu::~TPopupMenu() {
    cancelled_ = true;
    // The menu closes on WM_CANCELMODE to its owner; one posted before its loop starts waits in the queue.
    while (!finished_) {
        if (HWND owner = owner_.load()) {
            ::PostMessageW(owner, WM_CANCELMODE, 0, 0);
            break;
        }
        ::Sleep(1);
    }
    thread_.join();
}

void TPopupMenu::Run(HWND window, UINT answer, POINT at, const std::vector<TMenuEntry>& entries) {
    int chosen = 0;
    {
        TMenuHandle menu;
        // A hidden window of this thread owns the menu, so that the menu's loop runs here.
        win32::UniqueWindow owner(::CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, at.x, at.y, 0,
                                                    0, nullptr, nullptr, win32::ProgramInstance(), nullptr));
        if (menu.Get() != nullptr && owner.Get() != nullptr) {
            // Command ids start at 1: TrackPopupMenu answers 0 when nothing was chosen.
            // A submenu belongs to the menu once appended to it, and goes with it.
            std::map<std::string, HMENU> submenus;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                HMENU into = menu.Get();
                if (!entries[i].Submenu.empty()) {
                    HMENU& submenu = submenus[entries[i].Submenu];
                    if (submenu == nullptr) {
                        submenu = ::CreatePopupMenu();
                        if (submenu == nullptr ||
                            !::AppendMenuA(menu.Get(), MF_POPUP, reinterpret_cast<UINT_PTR>(submenu),
                                           entries[i].Submenu.c_str())) {
                            if (submenu != nullptr)
                                ::DestroyMenu(submenu);
                            submenu = nullptr;
                            continue;
                        }
                    }
                    into = submenu;
                }
                ::AppendMenuA(into,
                              MF_STRING | (entries[i].Enabled ? MF_ENABLED : MF_GRAYED) |
                                  (entries[i].Checked ? MF_CHECKED : MF_UNCHECKED),
                              i + 1, entries[i].Text.c_str());
            }
            owner_ = owner.Get();
            // The menu closes when the player clicks elsewhere only while its owner is the foreground
            // window.
            ::SetForegroundWindow(owner.Get());
            chosen =
                static_cast<int>(::TrackPopupMenu(menu.Get(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                                  at.x, at.y, 0, owner.Get(), nullptr));
            ::PostMessageW(owner.Get(), WM_NULL, 0, 0);
            owner_ = nullptr;
        }
    }
    // The launcher's window takes the keyboard back from the menu's owner, which is gone now.
    if (!cancelled_) {
        ::SetForegroundWindow(window);
        ::PostMessageW(window, answer, static_cast<WPARAM>(chosen - 1), 0);
    }
    finished_ = true;
}

} // namespace pc
