#include "window/win32/news_view.h"

#include "framework/exceptions.h"
#include "window/html_text.h"

#include <exdisp.h>
#include <exdispid.h>
#include <mshtmdid.h>
#include <mshtmhst.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleidl.h>
#include <wininet.h>

#include <atomic>
#include <utility>

namespace pc {

namespace {

constexpr UINT kFetchedMessage = WM_APP + 1;
constexpr UINT kOutsideMessage = WM_APP + 2; // pages wait for the browser

// What the engine may fetch and run: pictures, videos and sounds, but no ActiveX control (neither run nor
// downloaded) and no Java applet.
constexpr LONG kDownloadControl = DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS | DLCTL_NO_RUNACTIVEXCTLS |
                                  DLCTL_NO_DLACTIVEXCTLS | DLCTL_NO_JAVA;

// The HTML engine behind the browser control (MSHTML's document object).
constexpr CLSID kHtmlDocument = {
    0x25336920, 0x03F9, 0x11CF, {0x8F, 0xD0, 0x00, 0xAA, 0x00, 0x68, 0x6F, 0x13}};

// The fetched text travels to the window thread in one of these, owned by the message once posted.
struct TFetched {
    std::string Url;
    std::string Text;
};

std::wstring Wide(const std::string& text) {
    return win32::DisplayText(text);
}

// An event's argument: a string, also when passed by reference to a variant.
std::string TextOf(const VARIANT& argument) {
    const VARIANT* value = &argument;
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value))
        value = V_VARIANTREF(value);
    if (V_VT(value) == VT_BSTR && V_BSTR(value))
        return win32::FromDisplayText(V_BSTR(value));
    if (V_VT(value) == (VT_BYREF | VT_BSTR) && V_BSTRREF(value) && *V_BSTRREF(value))
        return win32::FromDisplayText(*V_BSTRREF(value));
    return {};
}

void Cancel(VARIANT& argument) {
    if (V_VT(&argument) == (VT_BYREF | VT_BOOL) && V_BOOLREF(&argument))
        *V_BOOLREF(&argument) = VARIANT_TRUE;
}

// Whether two interface pointers belong to one object.
bool SameObject(IUnknown* a, IUnknown* b) {
    if (!a || !b)
        return false;
    win32::ComPtr<IUnknown> left, right;
    return SUCCEEDED(a->QueryInterface(IID_IUnknown, left.PutVoid())) &&
           SUCCEEDED(b->QueryInterface(IID_IUnknown, right.PutVoid())) && left.Get() == right.Get();
}

} // namespace

TNewsTarget NewsRequestTarget(const std::string& newsUrl, TNewsRequest request, const std::string& target) {
    switch (request) {
    case TNewsRequest::Own:
        return TNewsTarget::Inside;
    case TNewsRequest::Page:
        return NewsLinkTarget(newsUrl, target);
    case TNewsRequest::Frame:
        return NewsLinkTarget(newsUrl, target) == TNewsTarget::Refused ? TNewsTarget::Refused
                                                                       : TNewsTarget::Inside;
    case TNewsRequest::Window:
        return NewsWindowTarget(target);
    }
    return TNewsTarget::Refused;
}

// The control's events (DWebBrowserEvents2), of which the view answers those that lead somewhere.
class TBrowserEvents final : public IDispatch {
public:
    explicit TBrowserEvents(TNewsView& view) : view_(view) {}

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The view owns the sink and unadvises it before it goes.
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }

    // IDispatch: the control calls by number only.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (!parameters)
            return S_OK;
        // The arguments come last first.
        VARIANT* arguments = parameters->rgvarg;
        const UINT count = parameters->cArgs;
        switch (member) {
        case DISPID_BEFORENAVIGATE2: // (frame, URL, flags, target frame, post data, headers, cancel)
            if (count == 7) {
                IDispatch* frame = V_VT(&arguments[6]) == VT_DISPATCH ? V_DISPATCH(&arguments[6]) : nullptr;
                if (view_.CancelNavigation(frame, TextOf(arguments[5])))
                    Cancel(arguments[0]);
            }
            break;
        case DISPID_NEWWINDOW3: // (new window, cancel, flags, opener's URL, URL)
            if (count == 5 && view_.CancelWindow(TextOf(arguments[0])))
                Cancel(arguments[3]);
            break;
        default:
            // NewWindow2 carries no address, and cancelling it would keep NewWindow3, which follows it
            // with the address, from coming: the window is cancelled there.
            break;
        }
        return S_OK;
    }

private:
    TNewsView& view_;
    std::atomic<ULONG> references_{1};
};

// The smallest container the browser control accepts: a client site that in-place activates it in the
// view's window, answers the engine's question of what it may download and run (its ambient properties),
// and shows no right-click menu. Every other request of the control is declined.
class TBrowserSite final : public IOleClientSite,
                           public IOleInPlaceSite,
                           public IOleInPlaceFrame,
                           public IDispatch,
                           public IDocHostUIHandler {
public:
    explicit TBrowserSite(HWND host) : host_(host) {}

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *object = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow)
            *object = static_cast<IOleInPlaceSite*>(this);
        else if (riid == IID_IOleInPlaceFrame || riid == IID_IOleInPlaceUIWindow)
            *object = static_cast<IOleInPlaceFrame*>(this);
        else if (riid == IID_IDispatch)
            *object = static_cast<IDispatch*>(this);
        else if (riid == IID_IDocHostUIHandler)
            *object = static_cast<IDocHostUIHandler*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // The view owns the site and outlives the control's references to it (it closes the control first).
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow (shared by the site and the frame)
    STDMETHODIMP GetWindow(HWND* window) override {
        *window = host_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *document = nullptr;
        ::GetClientRect(host_, position);
        ::GetClientRect(host_, clip);
        info->fMDIApp = FALSE;
        info->hwndFrame = host_;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceUIWindow and IOleInPlaceFrame
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; } // the frame's and the document host's
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

    // IDispatch: the ambient properties, of which only the download control is the site's to say.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (member != DISPID_AMBIENT_DLCONTROL || !(flags & DISPATCH_PROPERTYGET) || !result)
            return DISP_E_MEMBERNOTFOUND;
        ::VariantInit(result);
        V_VT(result) = VT_I4;
        V_I4(result) = kDownloadControl;
        return S_OK;
    }

    // IDocHostUIHandler: no menu of the engine's (it offers the page's source and saving), the rest as
    // the engine does it by itself.
    STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_OK; }
    STDMETHODIMP GetHostInfo(DOCHOSTUIINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                        IOleInPlaceUIWindow*) override {
        return S_FALSE;
    }
    STDMETHODIMP HideUI() override { return S_OK; }
    STDMETHODIMP UpdateUI() override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
    STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD) override {
        *key = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget**) override { return E_NOTIMPL; }
    STDMETHODIMP GetExternal(IDispatch** external) override {
        *external = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override {
        *out = nullptr;
        return S_FALSE;
    }
    STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override {
        *out = nullptr;
        return S_FALSE;
    }

private:
    HWND host_;
    std::atomic<ULONG> references_{1};
};

TNewsView::TNewsView(HWND parent, RECT box, bool allowBrowser,
                     std::function<void(const std::string&)> openOutside)
    : openOutside_(std::move(openOutside)) {
    const wchar_t* cls = win32::RegisterWindowClass(L"TNewsView", &TNewsView::Procedure);
    window_.Reset(::CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, box.left, box.top,
                                    box.right - box.left, box.bottom - box.top, parent, nullptr,
                                    win32::ProgramInstance(), this));
    if (!allowBrowser || !CreateBrowser())
        UseTextField();
}

TNewsView::~TNewsView() {
    StopFetch();
    if (eventPoint_) {
        eventPoint_->Unadvise(eventCookie_);
        eventPoint_.Reset();
    }
    if (browser_) {
        win32::ComPtr<IOleObject> object;
        if (SUCCEEDED(browser_->QueryInterface(IID_IOleObject, object.PutVoid()))) {
            object->Close(OLECLOSE_NOSAVE);
            object->SetClientSite(nullptr);
        }
        browser_.Reset();
    }
}

bool TNewsView::CreateBrowser() {
    // Without its HTML engine the control would stay blank: the engine has to be there as well.
    win32::ComPtr<IUnknown> engine;
    if (FAILED(
            ::CoCreateInstance(kHtmlDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, engine.PutVoid())))
        return false;
    engine.Reset();

    win32::ComPtr<IOleObject> object;
    if (FAILED(::CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  object.PutVoid())))
        return false;
    site_ = std::make_unique<TBrowserSite>(window_.Get());
    RECT area;
    ::GetClientRect(window_.Get(), &area);
    if (FAILED(object->SetClientSite(site_.get())) ||
        FAILED(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.get(), 0, window_.Get(), &area))) {
        object->SetClientSite(nullptr);
        return false;
    }
    // Without its events the control would follow every link inside: the fallback is safer.
    events_ = std::make_unique<TBrowserEvents>(*this);
    win32::ComPtr<IConnectionPointContainer> points;
    if (FAILED(object->QueryInterface(IID_IWebBrowser2, browser_.PutVoid())) || !browser_ ||
        FAILED(object->QueryInterface(IID_IConnectionPointContainer, points.PutVoid())) ||
        FAILED(points->FindConnectionPoint(DIID_DWebBrowserEvents2, eventPoint_.Put())) ||
        FAILED(eventPoint_->Advise(static_cast<IDispatch*>(events_.get()), &eventCookie_))) {
        eventPoint_.Reset();
        browser_.Reset();
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
        return false;
    }
    // The engine asks for the download control with each page; a control that read it already hears of it.
    win32::ComPtr<IOleControl> control;
    if (SUCCEEDED(object->QueryInterface(IID_IOleControl, control.PutVoid())))
        control->OnAmbientPropertyChange(DISPID_AMBIENT_DLCONTROL);
    browser_->put_Left(0);
    browser_->put_Top(0);
    browser_->put_Width(area.right);
    browser_->put_Height(area.bottom);
    return true;
}

void TNewsView::UseTextField() {
    RECT area;
    ::GetClientRect(window_.Get(), &area);
    text_.Reset(::CreateWindowExW(
        0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0,
        area.right, area.bottom, window_.Get(), nullptr, win32::ProgramInstance(), nullptr));
    ::SendMessageW(text_.Get(), WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)),
                   FALSE);
}

void TNewsView::Navigate(const std::string& url) {
    url_ = url;
    if (browser_) {
        const std::wstring wide = Wide(url);
        BSTR address = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        VARIANT empty;
        ::VariantInit(&empty);
        // The control announces the navigation from within the call; a later one is the page's.
        ownNavigation_ = true;
        const HRESULT result = browser_->Navigate(address, &empty, &empty, &empty, &empty);
        ownNavigation_ = false;
        ::SysFreeString(address);
        if (FAILED(result)) {
            win32::ComPtr<IErrorInfo> info;
            BSTR description = nullptr;
            if (::GetErrorInfo(0, info.Put()) == S_OK && info &&
                SUCCEEDED(info->GetDescription(&description)) && description && *description) {
                const std::string text = win32::FromDisplayText(description);
                ::SysFreeString(description);
                throw MakeOleException(text);
            }
            if (description)
                ::SysFreeString(description);
            wchar_t* system = nullptr;
            std::string systemText;
            if (::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<wchar_t*>(&system),
                                 0, nullptr) &&
                system) {
                systemText = win32::FromWide(system, CP_ACP);
                ::LocalFree(system);
            }
            throw MakeOleSysError(static_cast<std::uint32_t>(result), systemText);
        }
        return;
    }

    // The fallback fetches the page itself, so that start-up does not wait for the network.
    StopFetch();
    ::SetWindowTextW(text_.Get(), L"");
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
        return;
    HINTERNET session = ::InternetOpenA("Patch Client", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session)
        return;
    DWORD limit = 10000;
    ::InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &limit, sizeof(limit));
    ::InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &limit, sizeof(limit));
    session_ = session;
    HWND target = window_.Get();
    fetch_ = std::thread([session, target, url] {
        std::string body;
        if (HINTERNET request = ::InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                                                   INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_CACHE_WRITE, 0)) {
            char buffer[4096];
            DWORD got = 0;
            while (::InternetReadFile(request, buffer, sizeof(buffer), &got) && got > 0 &&
                   body.size() < (1u << 20))
                body.append(buffer, got);
            ::InternetCloseHandle(request);
        }
        auto fetched = std::make_unique<TFetched>(TFetched{url, HtmlToText(body)});
        if (::PostMessageW(target, kFetchedMessage, 0, reinterpret_cast<LPARAM>(fetched.get())))
            fetched.release(); // the window thread owns it now
    });
}

void TNewsView::StopFetch() {
    if (session_) {
        // Closing the session ends a request that is still waiting.
        ::InternetCloseHandle(static_cast<HINTERNET>(session_));
        session_ = nullptr;
    }
    if (fetch_.joinable())
        fetch_.join();
    // A result posted meanwhile is taken and dropped.
    MSG message;
    while (window_.Get() &&
           ::PeekMessageW(&message, window_.Get(), kFetchedMessage, kFetchedMessage, PM_REMOVE))
        std::unique_ptr<TFetched>(reinterpret_cast<TFetched*>(message.lParam)).reset();
}

bool TNewsView::CancelNavigation(IDispatch* frame, const std::string& target) {
    // An announcement without its frame is taken as the page's, by the stricter rules.
    const bool page = !frame || SameObject(frame, browser_.Get());
    TNewsRequest request = page ? TNewsRequest::Page : TNewsRequest::Frame;
    if (page && std::exchange(ownNavigation_, false))
        request = TNewsRequest::Own;
    switch (NewsRequestTarget(url_, request, target)) {
    case TNewsTarget::Inside:
        return false;
    case TNewsTarget::Browser:
        HandOut(target);
        return true;
    case TNewsTarget::Refused:
        break;
    }
    return true;
}

bool TNewsView::CancelWindow(const std::string& target) {
    if (NewsRequestTarget(url_, TNewsRequest::Window, target) == TNewsTarget::Browser)
        HandOut(target);
    return true;
}

void TNewsView::HandOut(const std::string& target) {
    // The browser starts once the control has finished announcing: the player's browser may take the
    // focus, and an error would be reported from within the control's event.
    outside_.push_back(target);
    if (outside_.size() == 1)
        ::PostMessageW(window_.Get(), kOutsideMessage, 0, 0);
}

LRESULT CALLBACK TNewsView::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* view = reinterpret_cast<TNewsView*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == kFetchedMessage) {
        std::unique_ptr<TFetched> fetched(reinterpret_cast<TFetched*>(lParam));
        if (view && view->text_.Get() && fetched->Url == view->url_) {
            std::wstring text = Wide(fetched->Text);
            // The edit field breaks lines at CR LF only.
            std::wstring crlf;
            for (wchar_t c : text) {
                if (c == L'\n')
                    crlf += L'\r';
                crlf += c;
            }
            ::SetWindowTextW(view->text_.Get(), crlf.c_str());
        }
        return 0;
    }
    if (message == kOutsideMessage) {
        if (view) {
            // Copies: a report of the browser's failure pumps messages, within which the view may go.
            const std::vector<std::string> pages = std::exchange(view->outside_, {});
            const std::function<void(const std::string&)> open = view->openOutside_;
            for (const std::string& page : pages)
                if (open)
                    open(page);
        }
        return 0;
    }
    if (message == WM_CTLCOLORSTATIC) {
        // A read-only field paints like an editable one: the page's white, not the dialog grey.
        ::SetBkColor(reinterpret_cast<HDC>(wParam), RGB(255, 255, 255));
        return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace pc
