// What the Win32 front end's pieces share: windows, GDI objects and COM interfaces that release
// themselves, window classes registered once, and the text rule of the desktop.
#pragma once

#include "framework/win32/win32_support.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pc::win32 {

// A window destroyed with its owner object.
class UniqueWindow {
public:
    UniqueWindow() = default;
    explicit UniqueWindow(HWND handle) : handle_(handle) {}
    UniqueWindow(UniqueWindow&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueWindow& operator=(UniqueWindow&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;
    ~UniqueWindow() { Reset(); }

    HWND Get() const { return handle_; }
    void Reset(HWND handle = nullptr) {
        if (handle_ && ::IsWindow(handle_))
            ::DestroyWindow(handle_);
        handle_ = handle;
    }

private:
    HWND handle_ = nullptr;
};

// A GDI object (font, bitmap, brush) deleted with its owner object.
template <class T> class UniqueGdi {
public:
    UniqueGdi() = default;
    explicit UniqueGdi(T handle) : handle_(handle) {}
    UniqueGdi(UniqueGdi&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueGdi& operator=(UniqueGdi&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    UniqueGdi(const UniqueGdi&) = delete;
    UniqueGdi& operator=(const UniqueGdi&) = delete;
    ~UniqueGdi() { Reset(); }

    T Get() const { return handle_; }
    void Reset(T handle = nullptr) {
        if (handle_)
            ::DeleteObject(handle_);
        handle_ = handle;
    }

private:
    T handle_ = nullptr;
};

// A COM interface pointer released with its owner object.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For the functions that hand out a new reference.
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

// A device context taken from the screen for measuring, given back with its owner object.
class ScreenDc {
public:
    ScreenDc() : dc_(::GetDC(nullptr)) {}
    ~ScreenDc() {
        if (dc_)
            ::ReleaseDC(nullptr, dc_);
    }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HDC dc_;
};

// A memory device context with one bitmap selected into it; the DC's own object goes back in and the DC is
// deleted with its owner object (before the bitmap, which must outlive the selection).
class UniqueMemoryDc {
public:
    UniqueMemoryDc() = default;
    UniqueMemoryDc(const UniqueMemoryDc&) = delete;
    UniqueMemoryDc& operator=(const UniqueMemoryDc&) = delete;
    ~UniqueMemoryDc() { Reset(); }

    HDC Get() const { return dc_; }
    // A new DC compatible with the screen, `bitmap` selected into it.
    void Reset(HBITMAP bitmap) {
        Reset();
        dc_ = ::CreateCompatibleDC(nullptr);
        if (dc_)
            old_ = ::SelectObject(dc_, bitmap);
    }
    void Reset() {
        if (dc_) {
            ::SelectObject(dc_, old_);
            ::DeleteDC(dc_);
        }
        dc_ = nullptr;
        old_ = nullptr;
    }

private:
    HDC dc_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

// Selects an object into a device context for the life of this guard.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), old_(::SelectObject(dc, object)) {}
    ~SelectGuard() { ::SelectObject(dc_, old_); }
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};

// While a modal box or form is up, the program's other visible top-level windows are disabled; afterwards
// they are enabled again and the previously active window and the keyboard focus come back.
class TThreadWindowsDisabled {
public:
    explicit TThreadWindowsDisabled(HWND except = nullptr);
    ~TThreadWindowsDisabled();
    TThreadWindowsDisabled(const TThreadWindowsDisabled&) = delete;
    TThreadWindowsDisabled& operator=(const TThreadWindowsDisabled&) = delete;

private:
    static BOOL CALLBACK Disable(HWND window, LPARAM self);
    HWND except_;
    HWND active_;
    HWND focus_;
    std::vector<HWND> disabled_;
};

// The core's strings are bytes; the desktop shows them as UTF-8 where they are valid UTF-8 and as
// Windows-1252 otherwise (the code page the configuration files were written in), as the Linux edition does.
std::wstring DisplayText(std::string_view bytes);
std::string FromDisplayText(std::wstring_view text); // back to UTF-8

// The module the program was loaded from (its resources live there).
HINSTANCE ProgramInstance();

// A font of the given family and character height in pixels (the height without internal leading).
UniqueGdi<HFONT> MakeFont(std::wstring_view family, int characterHeight, bool bold, bool underline,
                          bool smooth = true);
// The desktop's message font, as dialogs and notices use it.
UniqueGdi<HFONT> MessageFont();

// Registers a window class once per process with the given procedure; returns its name.
const wchar_t* RegisterWindowClass(const wchar_t* name, WNDPROC procedure, UINT style = 0,
                                   HICON icon = nullptr);

} // namespace pc::win32
