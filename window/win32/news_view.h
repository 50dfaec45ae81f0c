// The news view: the shell's web browser control (IWebBrowser2) hosted in a child window, showing one
// page by URL. Where the control or its HTML engine cannot be created, a read-only text field takes its
// place and shows the page's text, fetched on a thread of its own. The page stays a news page
// (window/news_links.h): links to other hosts and new windows go to the player's browser, a page from the
// network reaches no local file, no ActiveX control or Java applet runs, and the right-click menu is none.
#pragma once

#include "window/news_links.h"
#include "window/win32/win32_window.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct IConnectionPoint;
struct IDispatch;
struct IWebBrowser2;

namespace pc {

class TBrowserEvents;
class TBrowserSite;

// What the browser control announces before it shows something.
enum class TNewsRequest {
    Own,    // the launcher's own navigation (TNewsView::Navigate)
    Page,   // the page goes elsewhere: a link, a form, a script, a dropped file
    Frame,  // a frame inside the page loads
    Window, // the page asks for a window of its own
};

// Where such a request goes while the view shows `newsUrl`. The page itself follows the link rules; a frame
// never leaves the page but loads nothing they refuse; a window never opens here.
TNewsTarget NewsRequestTarget(const std::string& newsUrl, TNewsRequest request, const std::string& target);

class TNewsView {
public:
    // A child of `parent` with the given box. COM must be initialised on the thread. `openOutside` hands
    // a page to the player's browser; it is called from the window's messages, never from the control's.
    TNewsView(HWND parent, RECT box, bool allowBrowser, std::function<void(const std::string&)> openOutside);
    ~TNewsView();
    TNewsView(const TNewsView&) = delete;
    TNewsView& operator=(const TNewsView&) = delete;

    // Starts loading the page and returns at once. A request that the control rejects raises
    // EOleException (with the control's description) or EOleSysError (without one).
    void Navigate(const std::string& url);

private:
    friend class TBrowserEvents;

    // The control's announcements, answered with true where it must not go on.
    bool CancelNavigation(IDispatch* frame, const std::string& target);
    bool CancelWindow(const std::string& target);
    void HandOut(const std::string& target);

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool CreateBrowser();
    void UseTextField();
    void StopFetch();

    win32::UniqueWindow window_;             // the box the view lives in
    win32::UniqueWindow text_;               // the fallback
    std::unique_ptr<TBrowserSite> site_;     // the control's container
    std::unique_ptr<TBrowserEvents> events_; // what the control tells of its navigations
    win32::ComPtr<IWebBrowser2> browser_;
    win32::ComPtr<IConnectionPoint> eventPoint_;
    DWORD eventCookie_ = 0;
    bool ownNavigation_ = false; // the page the control announces now is the launcher's request
    std::function<void(const std::string&)> openOutside_;
    std::vector<std::string> outside_; // pages waiting to be handed to the browser
    std::thread fetch_;
    void* session_ = nullptr; // the fallback's internet session while a fetch runs
    std::string url_;
};

} // namespace pc
