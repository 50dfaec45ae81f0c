#include "window/win32/patch_client.h"

#include "archive/launcher_settings.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "window/layout.h"
#include "window/win32/application.h"

#include <algorithm>
#include <cstring>
#include <windowsx.h>

namespace pc {

namespace {

constexpr COLORREF kKeyColourRef = RGB(255, 0, 255);
constexpr std::uint32_t kKeyPixel = 0x00FF00FF; // the key colour as a canvas pixel (0x00RRGGBB)

COLORREF ColourOf(std::uint32_t rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

RECT BoxOf(const TControlLayout& entry) {
    return RECT{entry.Left, entry.Top, entry.Left + entry.Width, entry.Top + entry.Height};
}

bool Intersects(const RECT& a, const RECT& b) {
    RECT both;
    return ::IntersectRect(&both, &a, &b) != 0;
}

std::wstring Family(const TFontStyle& font) {
    const TFontStyle& base = font.Family.empty() ? kDefaultFont : font;
    return win32::DisplayText(base.Family);
}

int Height(const TFontStyle& font) {
    return font.Family.empty() ? kDefaultFont.PixelHeight : font.PixelHeight;
}

// Labels: one line, tabs expanded, '&' underlines the next character.
constexpr UINT kLabelFlags = DT_SINGLELINE | DT_EXPANDTABS | DT_NOCLIP;

// The read-only log reads right-to-left only where the system's code page holds right-to-left letters.
bool RightToLeftSystem() {
    switch (::GetACP()) {
    case 864:  // Arabic
    case 1255: // Hebrew
    case 1256: // Arabic
        return true;
    default:
        return false;
    }
}

using SetLayeredWindowAttributesProc = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);

} // namespace

struct TForm_Main::TGraphic {
    const TControlLayout* Layout;
    RECT Box;
    bool Visible;
    bool Enabled = true;
    TPixels Picture;
    win32::UniqueGdi<HFONT> Font;
    COLORREF Colour = RGB(0, 0, 0);
    std::wstring Text;
};

TForm_Main::TForm_Main(TLauncherCore core, TFormOptions options)
    : core_(std::move(core)), options_(options), timerPatch_(kPatchTimerInterval),
      timerStandby_(kStandbyTimerInterval) {
    const wchar_t* cls =
        win32::RegisterWindowClass(L"TForm_Main", &TForm_Main::Procedure, CS_DBLCLKS,
                                   ::LoadIconW(win32::ProgramInstance(), MAKEINTRESOURCEW(1)));
    window_.Reset(::CreateWindowExW(WS_EX_LAYERED | WS_EX_APPWINDOW, cls,
                                    win32::DisplayText(kFormCaption).c_str(), WS_POPUP | WS_CLIPCHILDREN, 0,
                                    0, kFormWidth, kFormHeight, nullptr, nullptr, win32::ProgramInstance(),
                                    this));
    if (!window_.Get())
        throw Exception("The main window cannot be created");
    BuildControls();
    ApplyColourKey();
    zipArchiver_ = std::make_unique<TZipArchiver>();
    ApplyLauncherArchiverSettings(*zipArchiver_);
    zipArchiver_->DialogProvider = &dialogs_;

    // Centred by the virtual desktop's width and height alone, never at a negative coordinate.
    const int x = std::max(0, (::GetSystemMetrics(SM_CXVIRTUALSCREEN) - kFormWidth) / 2);
    const int y = std::max(0, (::GetSystemMetrics(SM_CYVIRTUALSCREEN) - kFormHeight) / 2);
    ::SetWindowPos(window_.Get(), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    timerPatch_.OnTimer = [this] {
        // The update starts once the window has been shown and painted; a desktop that never asks for
        // the painting holds it back for a second at most.
        const bool shownLongEnough = shownAt_ != 0 && ::GetTickCount64() - shownAt_ >= 1000;
        if (firstPaintDone_ || shownLongEnough)
            PatchTick();
    };
    timerStandby_.OnTimer = [this] { StandbyTick(); };

    RunGuarded([this] {
        if (core_.FormCreate)
            core_.FormCreate(*this);
    });
}

TForm_Main::~TForm_Main() {
    news_.reset();
    if (canvasDc_) {
        ::SelectObject(canvasDc_, canvasOld_);
        ::DeleteDC(canvasDc_);
    }
}

void TForm_Main::BuildControls() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kFormWidth;
    info.bmiHeader.biHeight = -kFormHeight; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    canvas_.Reset(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    canvasBits_ = static_cast<std::uint32_t*>(bits);
    canvasDc_ = ::CreateCompatibleDC(nullptr);
    canvasOld_ = ::SelectObject(canvasDc_, canvas_.Get());

    for (const TControlLayout& entry : kMainFormLayout) {
        const RECT box = BoxOf(entry);
        switch (entry.Kind) {
        case TControlKind::Picture: {
            auto graphic =
                std::make_unique<TGraphic>(TGraphic{&entry, box, entry.Visible, true, {}, {}, 0, {}});
            RunGuarded([&] {
                graphic->Picture = LoadPicture(entry.Asset);
                if (entry.Drawing != TPictureDrawing::Stretch)
                    graphic->Box = RECT{box.left, box.top, box.left + graphic->Picture.Width,
                                        box.top + graphic->Picture.Height};
            });
            graphics_.push_back(std::move(graphic));
            break;
        }
        case TControlKind::Label: {
            auto graphic =
                std::make_unique<TGraphic>(TGraphic{&entry, box, entry.Visible, true, {}, {}, 0, {}});
            graphic->Text = win32::DisplayText(entry.Text);
            graphics_.push_back(std::move(graphic));
            break;
        }
        case TControlKind::Memo: {
            DWORD exStyle = 0;
            if (RightToLeftSystem())
                exStyle |= WS_EX_RTLREADING | WS_EX_RIGHT | WS_EX_LEFTSCROLLBAR;
            memo_.Reset(::CreateWindowExW(exStyle, L"EDIT", L"",
                                          WS_CHILD | (entry.Visible ? WS_VISIBLE : 0) | ES_MULTILINE |
                                              ES_READONLY | ES_AUTOVSCROLL,
                                          box.left, box.top, entry.Width, entry.Height, window_.Get(),
                                          nullptr, win32::ProgramInstance(), nullptr));
            memoFont_ = win32::MakeFont(Family(entry.Font), Height(entry.Font), entry.Font.Bold,
                                        entry.Font.Underline);
            ::SendMessageW(memo_.Get(), WM_SETFONT, reinterpret_cast<WPARAM>(memoFont_.Get()), FALSE);
            ::SendMessageW(memo_.Get(), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(1, 1));
            memoBrush_.Reset(::CreateSolidBrush(ColourOf(kLogBackground)));
            break;
        }
        case TControlKind::WebView:
            news_ = std::make_unique<TNewsView>(window_.Get(), box, options_.AllowBrowserControl);
            break;
        case TControlKind::ProgressBar:
            progress_ = std::make_unique<TProgressBarWindow>(window_.Get(), box, entry.Visible);
            break;
        }
    }

    // Letters over the key colour are drawn without smoothing, so that no key-coloured fringe remains.
    const TGraphic* background = graphics_.empty() ? nullptr : graphics_.front().get();
    auto overKey = [&](const RECT& box) {
        if (!background || background->Picture.Data.empty())
            return false;
        for (LONG y = std::max<LONG>(0, box.top); y < std::min<LONG>(background->Picture.Height, box.bottom);
             ++y)
            for (LONG x = std::max<LONG>(0, box.left);
                 x < std::min<LONG>(background->Picture.Width, box.right); ++x)
                if (background->Picture.At(x, y) == kKeyPixel)
                    return true;
        return false;
    };
    for (auto& graphic : graphics_) {
        const TControlLayout& entry = *graphic->Layout;
        if (entry.Kind != TControlKind::Label)
            continue;
        graphic->Font = win32::MakeFont(Family(entry.Font), Height(entry.Font), entry.Font.Bold,
                                        entry.Font.Underline, !overKey(graphic->Box));
        graphic->Colour = ColourOf(RoleRgb(entry.Colour));
    }
}

void TForm_Main::ApplyColourKey() {
    // Looked up at run time: a system without it shows the window as a plain rectangle.
    HMODULE user = ::GetModuleHandleW(L"user32.dll");
    auto setAttributes = user ? reinterpret_cast<SetLayeredWindowAttributesProc>(reinterpret_cast<void*>(
                                    ::GetProcAddress(user, "SetLayeredWindowAttributes")))
                              : nullptr;
    colourKeyed_ =
        setAttributes && setAttributes(window_.Get(), kKeyColourRef, 255, LWA_COLORKEY | LWA_ALPHA);
    if (!colourKeyed_)
        ::SetWindowLongPtrW(window_.Get(), GWL_EXSTYLE,
                            ::GetWindowLongPtrW(window_.Get(), GWL_EXSTYLE) &
                                ~static_cast<LONG_PTR>(WS_EX_LAYERED));
}

// ---- Drawing ----

void TForm_Main::DrawGraphic(const TGraphic& graphic) {
    const TControlLayout& entry = *graphic.Layout;
    if (entry.Kind == TControlKind::Picture) {
        const TPixels& picture = graphic.Picture;
        if (picture.Data.empty())
            return;
        const RECT& box = graphic.Box;
        const bool stretch = entry.Drawing == TPictureDrawing::Stretch;
        const bool keyed = entry.Drawing == TPictureDrawing::TransparentNatural;
        const std::uint32_t transparent = picture.At(0, picture.Height - 1);
        const int width = box.right - box.left;
        const int height = box.bottom - box.top;
        for (int y = 0; y < height; ++y) {
            const int cy = box.top + y;
            if (cy < 0 || cy >= kFormHeight)
                continue;
            const int sy = stretch ? y * picture.Height / std::max(1, height) : y;
            if (sy >= picture.Height)
                continue;
            for (int x = 0; x < width; ++x) {
                const int cx = box.left + x;
                const int sx = stretch ? x * picture.Width / std::max(1, width) : x;
                if (cx < 0 || cx >= kFormWidth || sx >= picture.Width)
                    continue;
                const std::uint32_t pixel = picture.At(sx, sy);
                if (keyed && pixel == transparent)
                    continue;
                canvasBits_[static_cast<std::size_t>(cy) * kFormWidth + cx] = pixel;
            }
        }
        return;
    }
    if (entry.Kind == TControlKind::Label) {
        win32::SelectGuard font(canvasDc_, graphic.Font.Get());
        ::SetBkMode(canvasDc_, TRANSPARENT);
        ::SetTextColor(canvasDc_, graphic.Colour);
        RECT box = graphic.Box;
        const int saved = ::SaveDC(canvasDc_);
        ::IntersectClipRect(canvasDc_, box.left, box.top, box.right, box.bottom);
        ::DrawTextW(canvasDc_, graphic.Text.c_str(), static_cast<int>(graphic.Text.size()), &box,
                    kLabelFlags | (entry.CentreText ? DT_CENTER : DT_LEFT));
        ::RestoreDC(canvasDc_, saved);
    }
}

void TForm_Main::Compose(const RECT& area) {
    ::GdiFlush();
    for (int y = std::max<LONG>(0, area.top); y < std::min<LONG>(kFormHeight, area.bottom); ++y)
        std::fill_n(canvasBits_ + static_cast<std::size_t>(y) * kFormWidth + std::max<LONG>(0, area.left),
                    std::max<LONG>(0, std::min<LONG>(kFormWidth, area.right) - std::max<LONG>(0, area.left)),
                    0x00FFFFFFu); // the form's white, never seen under the background
    for (const auto& graphic : graphics_)
        if (graphic->Visible && Intersects(graphic->Box, area)) {
            DrawGraphic(*graphic);
            ::GdiFlush();
        }
}

void TForm_Main::Paint(HDC dc, const RECT& area) {
    Compose(area);
    ::BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, canvasDc_, area.left,
             area.top, SRCCOPY);
}

HBRUSH TForm_Main::LogColours(HDC dc) {
    ::SetTextColor(dc, ColourOf(RoleRgb(LayoutOf("Memo_Log").Colour)));
    ::SetBkColor(dc, ColourOf(kLogBackground));
    return memoBrush_.Get();
}

// ---- Controls ----

TForm_Main::TGraphic& TForm_Main::Find(std::string_view name) const {
    for (const auto& graphic : graphics_)
        if (graphic->Layout->Name == name)
            return *graphic;
    throw Exception("The window layout lacks " + std::string(name));
}

TForm_Main::TGraphic* TForm_Main::ControlAt(POINT point) const {
    for (auto it = graphics_.rbegin(); it != graphics_.rend(); ++it) {
        TGraphic* graphic = it->get();
        if (graphic->Visible && graphic->Enabled && ::PtInRect(&graphic->Box, point))
            return graphic;
    }
    return nullptr;
}

void TForm_Main::Invalidate(const RECT& box) {
    ::InvalidateRect(window_.Get(), &box, FALSE);
}

void TForm_Main::SetVisible(TGraphic& graphic, bool visible) {
    if (graphic.Visible == visible)
        return;
    graphic.Visible = visible;
    Invalidate(graphic.Box);
}

void TForm_Main::SetCaption(TGraphic& graphic, const std::wstring& text) {
    if (graphic.Text == text)
        return;
    const RECT old = graphic.Box;
    graphic.Text = text;
    if (graphic.Layout->AutoSize) {
        // The left and top edges stay; the box grows or shrinks to the right and downwards.
        win32::SelectGuard font(canvasDc_, graphic.Font.Get());
        RECT measured{0, 0, 0, 0};
        ::DrawTextW(canvasDc_, text.c_str(), static_cast<int>(text.size()), &measured,
                    kLabelFlags | DT_CALCRECT);
        TEXTMETRICW metrics{};
        ::GetTextMetricsW(canvasDc_, &metrics);
        graphic.Box.right = graphic.Box.left + (measured.right - measured.left);
        graphic.Box.bottom = graphic.Box.top + metrics.tmHeight;
    }
    if (graphic.Visible) {
        Invalidate(old);
        Invalidate(graphic.Box);
    }
}

// ---- UiPort ----

void TForm_Main::SetApplicationTitle(const std::string& text) {
    pc::SetApplicationTitle(text);
}

std::string TForm_Main::GetApplicationTitle() const {
    return pc::GetApplicationTitle();
}

void TForm_Main::SetWindowCaption(const std::string& text) {
    ::SetWindowTextW(window_.Get(), win32::DisplayText(text).c_str());
}

void TForm_Main::SetServerLabel(const std::string& text) {
    SetCaption(Find("Label_ServerName"), win32::DisplayText(text));
}

void TForm_Main::ArmPatchTimer() {
    timerPatch_.SetEnabled(true);
}

void TForm_Main::SetProgressVisible(bool visible) {
    progress_->SetVisible(visible);
}

void TForm_Main::SetProgressPosition(std::int32_t position) {
    progressPosition_ = std::clamp(position, 0, progressMax_);
    progress_->Show(0, progressMax_, progressPosition_);
}

void TForm_Main::SetProgressMax(std::int32_t maximum) {
    if (maximum < 0)
        throw EInvalidOperation(PropertyOutOfRangeText("TProgressBar"));
    progressMax_ = maximum;
    progressPosition_ = std::clamp(progressPosition_, 0, progressMax_);
    progress_->Show(0, progressMax_, progressPosition_);
}

void TForm_Main::StepProgress(std::int32_t delta) {
    const std::int64_t next = static_cast<std::int64_t>(progressPosition_) + delta;
    progressPosition_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(next, 0, progressMax_));
    progress_->Show(0, progressMax_, progressPosition_);
}

void TForm_Main::NavigateNews(const std::string& url) {
    news_->Navigate(url);
}

std::unique_ptr<TMemo> TForm_Main::CreateHiddenTextBuffer() {
    return std::make_unique<TMemo>();
}

void TForm_Main::DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) {
    buffer.reset();
}

void TForm_Main::AppendLogLine(const std::string& text) {
    // The new line goes after the last line break; the caret follows it and the end stays in view.
    const std::wstring line = win32::DisplayText(text) + L"\r\n";
    const LRESULT length = ::SendMessageW(memo_.Get(), WM_GETTEXTLENGTH, 0, 0);
    ::SendMessageW(memo_.Get(), EM_SETSEL, static_cast<WPARAM>(length), length);
    ::SendMessageW(memo_.Get(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
    ::SendMessageW(memo_.Get(), EM_SCROLLCARET, 0, 0);
}

void TForm_Main::PumpMessages() {
    pc::PumpMessages();
}

void TForm_Main::ShowMessageBox(const std::string& text) {
    pc::ShowMessageBox(text);
}

void TForm_Main::TerminateApplication() {
    pc::TerminateApplication();
}

bool TForm_Main::TerminationRequested() const {
    return ApplicationTerminated();
}

TZipArchiver& TForm_Main::ZipArchiver() {
    return *zipArchiver_;
}

// ---- Behaviour ----

TLauncherValues TForm_Main::Values() const {
    return core_.Values ? core_.Values() : TLauncherValues{};
}

namespace {
struct TButtonNames {
    std::string_view Face, Over, Caption;
};
constexpr TButtonNames kButtons[] = {{"Image_Start", "Image_Start_Over", "Label_Start"},
                                     {"Image_WebSite", "Image_WebSite_Over", "Label_WebSite"},
                                     {"Image_ControlPanel", "Image_ControlPanel_Over", "Label_ControlPanel"},
                                     {"Image_Forum", "Image_Forum_Over", "Label_Forum"},
                                     {"Image_Exit", "Image_Exit_Over", "Label_Exit"}};
} // namespace

void TForm_Main::Highlight(int button) {
    SetVisible(Find(kButtons[button].Over), true);
    TGraphic& caption = Find(kButtons[button].Caption);
    SetVisible(caption, true);
    const std::wstring server = win32::DisplayText(Values().ServerName);
    switch (button) {
    case 0:
        SetCaption(caption, L"Start " + server);
        break;
    case 1:
        SetCaption(caption, server + L" Website");
        break;
    case 2:
        SetCaption(caption, server + L" Control Panel");
        break;
    case 3:
        SetCaption(caption, server + L" Forum");
        break;
    default:
        break; // Exit keeps its stored caption
    }
}

void TForm_Main::ClearHighlights() {
    for (const TButtonNames& button : kButtons) {
        SetVisible(Find(button.Over), false);
        SetVisible(Find(button.Caption), false);
    }
}

void TForm_Main::PointerMove(POINT point) {
    TGraphic* target = capture_ ? capture_ : ControlAt(point);
    if (!target) {
        ClearHighlights();
        return;
    }
    const std::string_view name = target->Layout->Name;
    if (name == "Image_Background" || name == "Image_Back")
        ClearHighlights();
    for (int i = 0; i < 5; ++i)
        if (name == kButtons[i].Face)
            Highlight(i);
}

void TForm_Main::PointerDown(POINT point, bool secondOfDouble) {
    capture_ = ControlAt(point);
    // The second press of a double click holds the pointer but never makes a second click.
    clickPending_ = capture_ != nullptr && !secondOfDouble;
    ::SetCapture(window_.Get());
}

void TForm_Main::PointerUp(POINT point) {
    TGraphic* control = capture_;
    const bool click = clickPending_ && control && ::PtInRect(&control->Box, point);
    capture_ = nullptr;
    clickPending_ = false;
    if (::GetCapture() == window_.Get())
        ::ReleaseCapture();
    if (click)
        Click(*control);
}

void TForm_Main::Click(const TGraphic& over) {
    const std::string_view name = over.Layout->Name;
    if (name == "Image_Start_Over" && core_.StartClient)
        core_.StartClient(*this);
    else if (name == "Image_WebSite_Over" && core_.OpenLink)
        core_.OpenLink(*this, Values().WebsiteUrl);
    else if (name == "Image_ControlPanel_Over" && core_.OpenLink)
        core_.OpenLink(*this, Values().ControlPanelUrl);
    else if (name == "Image_Forum_Over" && core_.OpenLink)
        core_.OpenLink(*this, Values().ForumUrl);
    else if (name == "Image_Exit_Over")
        TerminateApplication();
}

void TForm_Main::PatchTick() {
    timerPatch_.SetEnabled(false);
    Find("Image_Start_Over").Enabled = false;
    timerStandby_.SetEnabled(true);
    SetVisible(Find("Label_Standby"), true);
    // An error here leaves the rest undone: Start stays without effect and the animation goes on.
    if (core_.UpdateRun)
        core_.UpdateRun(*this, Values().PatchListUrl);
    timerStandby_.SetEnabled(false);
    SetVisible(Find("Label_Standby"), false);
    Find("Image_Start_Over").Enabled = true;
}

void TForm_Main::StandbyTick() {
    SetCaption(Find("Label_Standby"),
               L"Please Wait" + std::wstring(static_cast<std::size_t>(standbyTag_ + 1), L'.'));
    ++standbyTag_;
    if (standbyTag_ == 3)
        standbyTag_ = 0;
}

// ---- Messages ----

LRESULT CALLBACK TForm_Main::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* form = reinterpret_cast<TForm_Main*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form || !form->window_.Get())
        return ::DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    RunGuarded([&] { result = form->Handle(message, wParam, lParam); });
    return result;
}

LRESULT TForm_Main::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_.Get();
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        Paint(dc, paint.rcPaint);
        ::EndPaint(window, &paint);
        firstPaintDone_ = true;
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // the composition covers every pixel
    case WM_SHOWWINDOW:
        if (wParam && shownAt_ == 0)
            shownAt_ = ::GetTickCount64();
        break;
    case WM_MOUSEMOVE:
        PointerMove(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        PointerDown(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}, message == WM_LBUTTONDBLCLK);
        return 0;
    case WM_LBUTTONUP:
        PointerUp(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return 0;
    case WM_CANCELMODE:
        capture_ = nullptr;
        clickPending_ = false;
        if (::GetCapture() == window)
            ::ReleaseCapture();
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lParam) == memo_.Get())
            return reinterpret_cast<LRESULT>(LogColours(reinterpret_cast<HDC>(wParam)));
        break;
    case WM_CLOSE:
        // Closing the main window ends the application, once control is back in the main loop.
        TerminateApplication();
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace pc
