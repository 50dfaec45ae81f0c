#include "window/win32/win32_form.h"

#include "framework/exceptions.h"
#include "window/win32/application.h"

#include <algorithm>
#include <windowsx.h>

namespace pc {

namespace {

constexpr COLORREF kKeyColourRef = RGB(255, 0, 255);
constexpr std::uint32_t kKeyPixel = kKeyColour & 0x00FFFFFF; // as a canvas pixel (0x00RRGGBB)

// Labels: one line, tabs expanded, '&' underlines the next character.
constexpr UINT kLabelFlags = DT_SINGLELINE | DT_EXPANDTABS | DT_NOCLIP;
// The context menu's answer, posted by its thread (window/win32/popup_menu.h).
constexpr UINT kMenuChosenMessage = WM_APP + 2;

using SetLayeredWindowAttributesProc = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);

std::size_t LayoutIndex(const TControlLayout& entry) {
    return static_cast<std::size_t>(&entry - kMainFormLayout.data());
}

COLORREF ColourRef(TColour colour) {
    return RGB((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF);
}

RECT ToRect(const TRect& box) {
    return RECT{box.Left, box.Top, box.Right(), box.Bottom()};
}

TPoint PointOf(LPARAM lParam) {
    return TPoint{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
}

win32::UniqueGdi<HFONT> FontOf(const TFontStyle& style, bool smooth) {
    const TFontStyle& base = style.Family.empty() ? kDefaultFont : style;
    return win32::MakeFont(win32::DisplayText(base.Family), base.PixelHeight, style.Bold, style.Underline,
                           smooth);
}

// The read-only log reads right-to-left only where the system's code page holds right-to-left letters.
bool RightToLeftSystem() {
    switch (::GetACP()) {
    case 864:  // Arabic (DOS)
    case 1255: // Hebrew
    case 1256: // Arabic
        return true;
    default:
        return false;
    }
}

} // namespace

TWin32Form::TWin32Form(TLauncherCore core, TFormOptions options) : options_(options) {
    const wchar_t* cls =
        win32::RegisterWindowClass(L"TForm_Main", &TWin32Form::Procedure, CS_DBLCLKS,
                                   ::LoadIconW(win32::ProgramInstance(), MAKEINTRESOURCEW(1)));
    window_.Reset(::CreateWindowExW(WS_EX_LAYERED | WS_EX_APPWINDOW, cls,
                                    win32::DisplayText(kFormCaption).c_str(), WS_POPUP | WS_CLIPCHILDREN, 0,
                                    0, kFormWidth, kFormHeight, nullptr, nullptr, win32::ProgramInstance(),
                                    this));
    if (!window_.Get())
        throw Exception("The main window cannot be created");
    MakeCanvas();

    for (const TControlLayout& entry : kMainFormLayout)
        if (entry.Kind == TControlKind::Picture)
            RunGuarded([&] { pictures_[LayoutIndex(entry)] = LoadPicture(entry.Asset); });
    // Letters over the key colour are drawn without smoothing, so that no key-coloured fringe remains.
    const TPixels& background = pictures_[LayoutIndex(LayoutOf("Image_Background"))];
    auto overKey = [&](const TControlLayout& entry) {
        for (int y = std::max(0, entry.Top); y < std::min(background.Height, entry.Top + entry.Height); ++y)
            for (int x = std::max(0, entry.Left); x < std::min(background.Width, entry.Left + entry.Width);
                 ++x)
                if (background.At(x, y) == kKeyPixel)
                    return true;
        return false;
    };
    for (const TControlLayout& entry : kMainFormLayout)
        if (entry.Kind == TControlKind::Label)
            fonts_[LayoutIndex(entry)] = FontOf(entry.Font, !overKey(entry));

    model_ = std::make_unique<TForm_Main>(static_cast<TFormHost&>(*this), std::move(core));
    for (const auto& control : model_->GraphicControls())
        if (control->Kind() == TControlKind::Picture) {
            const TPixels& picture = pictures_[LayoutIndex(control->Layout())];
            if (!picture.Data.empty())
                control->SetPictureSize({picture.Width, picture.Height});
        }
    BuildChildWindows();
    ApplyColourKey();
    accessible_ = TFormAccessible::Make(window_.Get(), *model_);

    // The virtual screen's width and height alone place the window; its origin is not added.
    const TPoint place =
        MainFormPlacement({::GetSystemMetrics(SM_CXVIRTUALSCREEN), ::GetSystemMetrics(SM_CYVIRTUALSCREEN)},
                          screenSpot_.Index());
    ::SetWindowPos(window_.Get(), nullptr, place.X, place.Y, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    model_->Create();
}

TWin32Form::~TWin32Form() {
    if (accessible_)
        accessible_->Detach(); // a screen reader may hold it longer than the window lives
    // The model goes first: its archive component and timers may still refer to the windows.
    model_.reset();
    news_.reset();
    timers_.clear();
}

void TWin32Form::MakeCanvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kFormWidth;
    info.bmiHeader.biHeight = -kFormHeight; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    canvas_.Reset(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!canvas_.Get())
        throw Exception("The window's drawing surface cannot be created");
    canvasBits_ = static_cast<std::uint32_t*>(bits);
    canvasDc_.Reset(canvas_.Get());
    if (!canvasDc_.Get())
        throw Exception("The window's drawing surface cannot be created");
}

void TWin32Form::BuildChildWindows() {
    for (const TControlLayout& entry : kMainFormLayout) {
        const RECT box{entry.Left, entry.Top, entry.Left + entry.Width, entry.Top + entry.Height};
        switch (entry.Kind) {
        case TControlKind::Picture:
        case TControlKind::Label:
            break;
        case TControlKind::Memo: {
            const DWORD exStyle =
                RightToLeftSystem() ? WS_EX_RTLREADING | WS_EX_RIGHT | WS_EX_LEFTSCROLLBAR : 0;
            // Read-only, no border, no scroll bars, wrapping at word boundaries; not a Tab stop.
            memo_.Reset(::CreateWindowExW(exStyle, L"EDIT", L"",
                                          WS_CHILD | (entry.Visible ? WS_VISIBLE : 0) | ES_MULTILINE |
                                              ES_READONLY | ES_AUTOVSCROLL,
                                          box.left, box.top, entry.Width, entry.Height, window_.Get(),
                                          nullptr, win32::ProgramInstance(), nullptr));
            memoFont_ = FontOf(entry.Font, true);
            ::SendMessageW(memo_.Get(), WM_SETFONT, reinterpret_cast<WPARAM>(memoFont_.Get()), FALSE);
            ::SendMessageW(memo_.Get(), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(1, 1));
            memoBrush_.Reset(::CreateSolidBrush(ColourRef(kLogBackground)));
            break;
        }
        case TControlKind::WebView:
            news_ = std::make_unique<TNewsView>(window_.Get(), box, options_.AllowBrowserControl,
                                                [this](const std::string& url) { model_->NewsLinkOut(url); });
            break;
        case TControlKind::ProgressBar:
            progress_ = std::make_unique<TProgressBarWindow>(window_.Get(), box, entry.Visible);
            break;
        }
    }
}

void TWin32Form::ApplyColourKey() {
    // Looked up at run time: a system without it shows the window as a plain rectangle.
    HMODULE user = ::GetModuleHandleW(L"user32.dll");
    auto setAttributes = user ? reinterpret_cast<SetLayeredWindowAttributesProc>(reinterpret_cast<void*>(
                                    ::GetProcAddress(user, "SetLayeredWindowAttributes")))
                              : nullptr;
    const bool keyed =
        setAttributes && setAttributes(window_.Get(), kKeyColourRef, 255, LWA_COLORKEY | LWA_ALPHA);
    if (!keyed)
        ::SetWindowLongPtrW(window_.Get(), GWL_EXSTYLE,
                            ::GetWindowLongPtrW(window_.Get(), GWL_EXSTYLE) &
                                ~static_cast<LONG_PTR>(WS_EX_LAYERED));
}

// ---- Drawing ----

void TWin32Form::DrawPicture(const TGraphicControl& control) {
    const TPixels& picture = pictures_[LayoutIndex(control.Layout())];
    if (picture.Data.empty())
        return;
    const TRect box = control.BoundsRect();
    const TPictureDrawing drawing = control.Layout().Drawing;
    const bool stretch = drawing == TPictureDrawing::Stretch;
    // The bottom-left pixel names the colour that a transparent picture does not draw.
    const bool keyed = drawing == TPictureDrawing::TransparentNatural;
    const std::uint32_t transparent = picture.At(0, picture.Height - 1);
    for (int y = 0; y < box.Height; ++y) {
        const int cy = box.Top + y;
        const int sy = stretch ? y * picture.Height / std::max(1, box.Height) : y;
        if (cy < 0 || cy >= kFormHeight || sy >= picture.Height)
            continue;
        for (int x = 0; x < box.Width; ++x) {
            const int cx = box.Left + x;
            const int sx = stretch ? x * picture.Width / std::max(1, box.Width) : x;
            if (cx < 0 || cx >= kFormWidth || sx >= picture.Width)
                continue;
            const std::uint32_t pixel = picture.At(sx, sy);
            if (keyed && pixel == transparent)
                continue;
            canvasBits_[static_cast<std::size_t>(cy) * kFormWidth + static_cast<std::size_t>(cx)] = pixel;
        }
    }
}

void TWin32Form::DrawLabel(const TGraphicControl& control) {
    const TControlLayout& entry = control.Layout();
    win32::SelectGuard font(canvasDc_.Get(), fonts_[LayoutIndex(entry)].Get());
    ::SetBkMode(canvasDc_.Get(), TRANSPARENT);
    ::SetTextColor(canvasDc_.Get(), ColourRef(RoleColour(entry.Colour)));
    RECT box = ToRect(control.BoundsRect());
    const std::wstring text = win32::DisplayText(control.Caption());
    // What does not fit is cut off at the box's edges.
    const int saved = ::SaveDC(canvasDc_.Get());
    ::IntersectClipRect(canvasDc_.Get(), box.left, box.top, box.right, box.bottom);
    ::DrawTextW(canvasDc_.Get(), text.c_str(), static_cast<int>(text.size()), &box,
                kLabelFlags | (entry.CentreText ? DT_CENTER : DT_LEFT));
    ::RestoreDC(canvasDc_.Get(), saved);
}

void TWin32Form::Compose(const RECT& area) {
    const int left = std::max<int>(0, area.left);
    const int right = std::min<int>(kFormWidth, area.right);
    for (int y = std::max<int>(0, area.top); y < std::min<int>(kFormHeight, area.bottom); ++y)
        std::fill(canvasBits_ + static_cast<std::size_t>(y) * kFormWidth + left,
                  canvasBits_ + static_cast<std::size_t>(y) * kFormWidth + std::max(left, right),
                  0x00FFFFFFu); // the form's white, never seen under the background
    const TRect dirty{area.left, area.top, area.right - area.left, area.bottom - area.top};
    for (const auto& control : model_->GraphicControls()) {
        if (!control->Visible() || !control->BoundsRect().Intersects(dirty))
            continue;
        if (control->Kind() == TControlKind::Picture) {
            ::GdiFlush(); // GDI's text must be in the bits before the pictures are copied over it
            DrawPicture(*control);
        } else {
            DrawLabel(*control);
        }
    }
    ::GdiFlush();
    if (const TRect frame = model_->FocusFrame(); frame.Intersects(dirty))
        DrawFocusFrame(frame);
}

void TWin32Form::DrawFocusFrame(TRect frame) {
    // A dotted line along the box's inside, every other pixel.
    const std::uint32_t colour = RoleColour(TColourRole::CaptionGradient) & 0x00FFFFFF;
    auto dot = [&](int x, int y) {
        if (x >= 0 && x < kFormWidth && y >= 0 && y < kFormHeight && (x + y) % 2 == 0)
            canvasBits_[static_cast<std::size_t>(y) * kFormWidth + static_cast<std::size_t>(x)] = colour;
    };
    for (int x = frame.Left; x < frame.Right(); ++x) {
        dot(x, frame.Top);
        dot(x, frame.Bottom() - 1);
    }
    for (int y = frame.Top; y < frame.Bottom(); ++y) {
        dot(frame.Left, y);
        dot(frame.Right() - 1, y);
    }
}

HBRUSH TWin32Form::LogColours(HDC dc) {
    ::SetTextColor(dc, ColourRef(RoleColour(LayoutOf("Memo_Log").Colour)));
    ::SetBkColor(dc, ColourRef(kLogBackground));
    return memoBrush_.Get();
}

// ---- TFormHost ----

void TWin32Form::Invalidate(TRect area) {
    const RECT box = ToRect(area);
    ::InvalidateRect(window_.Get(), &box, FALSE);
}

TSize TWin32Form::MeasureLabel(const TControlLayout& label, const std::string& caption) {
    win32::SelectGuard font(canvasDc_.Get(), fonts_[LayoutIndex(label)].Get());
    const std::wstring text = win32::DisplayText(caption);
    RECT measured{0, 0, 0, 0};
    ::DrawTextW(canvasDc_.Get(), text.c_str(), static_cast<int>(text.size()), &measured,
                kLabelFlags | DT_CALCRECT);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(canvasDc_.Get(), &metrics);
    return TSize{static_cast<int>(measured.right - measured.left), static_cast<int>(metrics.tmHeight)};
}

void TWin32Form::SetWindowCaption(const std::string& text) {
    ::SetWindowTextW(window_.Get(), win32::DisplayText(text).c_str());
}

void TWin32Form::AppendLogLine(const std::string& text) {
    // The new line goes after the last line break; the caret follows it and the end stays in view.
    const std::wstring line = win32::DisplayText(text) + L"\r\n";
    const LRESULT length = ::SendMessageW(memo_.Get(), WM_GETTEXTLENGTH, 0, 0);
    ::SendMessageW(memo_.Get(), EM_SETSEL, static_cast<WPARAM>(length), length);
    ::SendMessageW(memo_.Get(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
    ShowLastLogLine();
}

void TWin32Form::ShowLastLogLine() {
    // The view moves only as far as the end of the last line (not the empty one after its line break)
    // must be seen, so the first lines stay while everything fits; the caret then goes to the very end.
    const LRESULT now = ::SendMessageW(memo_.Get(), WM_GETTEXTLENGTH, 0, 0);
    const LRESULT lastLineEnd = now >= 2 ? now - 2 : now;
    ::SendMessageW(memo_.Get(), EM_SETSEL, static_cast<WPARAM>(lastLineEnd), lastLineEnd);
    ::SendMessageW(memo_.Get(), EM_SCROLLCARET, 0, 0);
    ::SendMessageW(memo_.Get(), EM_SETSEL, static_cast<WPARAM>(now), now);
}

void TWin32Form::ReplaceLastLogLine(const std::string& text) {
    // The last line runs from the line break before it to the final one. The text is searched rather
    // than the control's line count, which counts wrapped lines.
    const auto length = static_cast<int>(::SendMessageW(memo_.Get(), WM_GETTEXTLENGTH, 0, 0));
    std::wstring current(static_cast<std::size_t>(length) + 1, L'\0');
    ::SendMessageW(memo_.Get(), WM_GETTEXT, current.size(), reinterpret_cast<LPARAM>(current.data()));
    current.resize(static_cast<std::size_t>(length));
    if (current.size() < 2 || current.compare(current.size() - 2, 2, L"\r\n") != 0) {
        AppendLogLine(text);
        return;
    }
    const std::size_t end = current.size() - 2;
    const std::size_t previous = end < 2 ? std::wstring::npos : current.rfind(L"\r\n", end - 2);
    const std::size_t start = previous == std::wstring::npos ? 0 : previous + 2;
    const std::wstring line = win32::DisplayText(text);
    ::SendMessageW(memo_.Get(), EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
    ::SendMessageW(memo_.Get(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
    ShowLastLogLine();
}

void TWin32Form::ProgressChanged(const TProgressState& state) {
    progress_->Show(state.Min, state.Max, state.Position);
    if (progress_->Visible() != state.Visible)
        progress_->SetVisible(state.Visible);
}

void TWin32Form::NavigateNews(const std::string& url) {
    news_->Navigate(url);
}

bool TWin32Form::StartTimer(TFormTimer timer, int intervalMs) {
    auto& slot = timers_[timer];
    if (!slot || slot->Interval() != intervalMs) {
        slot = std::make_unique<TSystemTimer>(intervalMs);
        slot->OnTimer = [this, timer] { model_->TimerTick(timer); };
    }
    try {
        slot->SetEnabled(true);
    } catch (const EOutOfResources&) {
        return false;
    }
    return true;
}

void TWin32Form::StopTimer(TFormTimer timer) {
    if (auto found = timers_.find(timer); found != timers_.end() && found->second)
        found->second->SetEnabled(false);
}

void TWin32Form::SetPointerCapture(bool captured) {
    if (captured)
        ::SetCapture(window_.Get());
    else if (::GetCapture() == window_.Get())
        ::ReleaseCapture();
}

void TWin32Form::SetApplicationTitle(const std::string& text) {
    pc::SetApplicationTitle(text);
}

std::string TWin32Form::GetApplicationTitle() const {
    return pc::GetApplicationTitle();
}

void TWin32Form::PumpMessages() {
    pc::PumpMessages();
}

void TWin32Form::ShowMessageBox(const std::string& text) {
    pc::ShowMessageBox(text);
}

void TWin32Form::TerminateApplication() {
    pc::TerminateApplication();
}

bool TWin32Form::TerminationRequested() const {
    return ApplicationTerminated();
}

void TWin32Form::ReportError(const std::exception& error) noexcept {
    pc::ReportError(error);
}

TZADialogProvider* TWin32Form::ArchiveDialogs() {
    return &dialogs_;
}

void TWin32Form::PopupMenu(TPoint at, const std::vector<TMenuEntry>& entries) {
    POINT screen{at.X, at.Y};
    ::ClientToScreen(Handle(), &screen);
    menu_.reset(); // a menu still up closes first
    menu_ = std::make_unique<TPopupMenu>(Handle(), kMenuChosenMessage, screen, entries);
}

void TWin32Form::FocusMoved(TFocusStop stop) {
    if (accessible_)
        accessible_->FocusMoved(stop);
}

void TWin32Form::AvailabilityChanged(TFocusStop stop) {
    if (accessible_)
        accessible_->AvailabilityChanged(stop);
}

bool TWin32Form::KeyDown(WPARAM key, LPARAM flags) {
    TKey mapped = TKey::Other;
    switch (key) {
    case VK_TAB:
        mapped = TKey::Tab;
        break;
    case VK_RETURN:
        mapped = TKey::Enter;
        break;
    case VK_SPACE:
        mapped = TKey::Space;
        break;
    default:
        return false;
    }
    if (::GetKeyState(VK_CONTROL) < 0 || ::GetKeyState(VK_MENU) < 0)
        return false;
    const bool repeated = (flags & (LPARAM{1} << 30)) != 0; // the key was already down
    return model_->KeyDown(mapped, ::GetKeyState(VK_SHIFT) < 0, repeated);
}

// ---- Messages ----

LRESULT CALLBACK TWin32Form::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* form = reinterpret_cast<TWin32Form*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form || !form->model_)
        return ::DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    RunGuarded([&] { result = form->Handle(message, wParam, lParam); });
    return result;
}

LRESULT TWin32Form::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_.Get();
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        const RECT& area = paint.rcPaint;
        Compose(area);
        ::BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, canvasDc_.Get(),
                 area.left, area.top, SRCCOPY);
        ::EndPaint(window, &paint);
        model_->Painted();
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // the composition covers every pixel
    case WM_SHOWWINDOW:
        if (wParam && !shown_) {
            shown_ = true;
            model_->Shown();
        }
        break;
    case WM_MOUSEMOVE:
        model_->MouseMove(PointOf(lParam));
        return 0;
    case WM_LBUTTONDOWN:
        model_->MouseDown(TMouseButton::Left, PointOf(lParam));
        return 0;
    case WM_RBUTTONDOWN:
        model_->MouseDown(TMouseButton::Right, PointOf(lParam));
        return 0;
    case WM_MBUTTONDOWN:
        model_->MouseDown(TMouseButton::Middle, PointOf(lParam));
        return 0;
    case WM_LBUTTONDBLCLK:
        model_->MouseDoubleClick(TMouseButton::Left, PointOf(lParam));
        return 0;
    case WM_LBUTTONUP:
        model_->MouseUp(TMouseButton::Left, PointOf(lParam));
        return 0;
    case WM_RBUTTONUP:
        model_->MouseUp(TMouseButton::Right, PointOf(lParam));
        return 0;
    case WM_MBUTTONUP:
        model_->MouseUp(TMouseButton::Middle, PointOf(lParam));
        return 0;
    case WM_CANCELMODE:
        model_->CancelMode();
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lParam) == memo_.Get())
            return reinterpret_cast<LRESULT>(LogColours(reinterpret_cast<HDC>(wParam)));
        break;
    case WM_CLOSE:
        model_->CloseRequested();
        return 0;
    case WM_KEYDOWN:
        if (KeyDown(wParam, lParam))
            return 0;
        break;
    case WM_GETOBJECT:
        // The client area's object; every other kind of object is the system's.
        if (static_cast<DWORD>(lParam) == static_cast<DWORD>(OBJID_CLIENT) && accessible_)
            return ::LresultFromObject(IID_IAccessible, wParam, static_cast<IAccessible*>(accessible_.Get()));
        break;
    case kAccessiblePressMessage:
        if (wParam < kFocusOrder.size())
            model_->PressStop(kFocusOrder[wParam]);
        return 0;
    case kMenuChosenMessage:
        model_->MenuChosen(static_cast<int>(static_cast<LONG_PTR>(wParam)));
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace pc
