// The news view: the shell's web browser control (IWebBrowser2) hosted in a child window, showing one
// page by URL. Where the control or its HTML engine cannot be created, a read-only text field takes its
// place and shows the page's text, fetched on a thread of its own.
#pragma once

#include "window/win32/win32_window.h"

#include <memory>
#include <string>
#include <thread>

struct IWebBrowser2;

namespace pc {

class TBrowserSite;

class TNewsView {
public:
    // A child of `parent` with the given box. COM must be initialised on the thread.
    TNewsView(HWND parent, RECT box, bool allowBrowser = true);
    ~TNewsView();
    TNewsView(const TNewsView&) = delete;
    TNewsView& operator=(const TNewsView&) = delete;

    // Starts loading the page and returns at once. A request that the control rejects raises
    // EOleException (with the control's description) or EOleSysError (without one).
    void Navigate(const std::string& url);

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool CreateBrowser();
    void UseTextField();
    void StopFetch();

    win32::UniqueWindow window_;         // the box the view lives in
    win32::UniqueWindow text_;           // the fallback
    std::unique_ptr<TBrowserSite> site_; // the control's container
    win32::ComPtr<IWebBrowser2> browser_;
    std::thread fetch_;
    void* session_ = nullptr; // the fallback's internet session while a fetch runs
    std::string url_;
};

} // namespace pc
