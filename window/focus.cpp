// TForm_Main from the keyboard and for screen readers: the focus order, the keys, the parts' names.
#include "window/patch_client.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace pc {

namespace {

constexpr std::size_t kButtonCount = 5; // Start to Exit lead the focus order and index the buttons

bool IsButton(TFocusStop stop) {
    return static_cast<std::size_t>(stop) < kButtonCount;
}

// The hints: what pressing each part does.
const char* HintOf(TFocusStop stop) {
    switch (stop) {
    case TFocusStop::Start:
        return "Starts the game";
    case TFocusStop::WebSite:
    case TFocusStop::ServerName:
        return "Opens the server's website in your browser";
    case TFocusStop::ControlPanel:
        return "Opens the server's control panel in your browser";
    case TFocusStop::Forum:
        return "Opens the server's forum in your browser";
    case TFocusStop::Exit:
        return "Closes the launcher";
    case TFocusStop::News:
        return "Opens the news page in your browser";
    }
    return "";
}

// The news view is a child window over everything the form draws: its frame goes just outside it.
TRect NewsFrame() {
    const TControlLayout& view = LayoutOf("WebBrowser");
    return {view.Left - 2, view.Top - 2, view.Width + 4, view.Height + 4};
}

} // namespace

bool TForm_Main::KeyDown(TKey key, bool shift, bool autoRepeat) {
    switch (key) {
    case TKey::Tab: {
        const auto count = static_cast<std::ptrdiff_t>(kFocusOrder.size());
        std::ptrdiff_t next = shift ? count - 1 : 0;
        if (focus_) {
            const auto at = std::distance(kFocusOrder.begin(), std::ranges::find(kFocusOrder, *focus_));
            next = (at + (shift ? count - 1 : 1)) % count;
        }
        GuardedCall([&] { MoveFocus(kFocusOrder[static_cast<std::size_t>(next)]); });
        return true;
    }
    case TKey::Enter:
    case TKey::Space:
        if (!focus_)
            return false;
        if (!autoRepeat)
            PressStop(*focus_);
        return true;
    case TKey::Other:
        break;
    }
    return false;
}

void TForm_Main::FocusStop(TFocusStop stop) {
    GuardedCall([&] { MoveFocus(stop); });
}

void TForm_Main::MoveFocus(std::optional<TFocusStop> stop) {
    if (stop == focus_)
        return;
    const TRect oldFrame = FocusFrame();
    const std::optional<TFocusStop> old = std::exchange(focus_, stop);
    // A button shows the focus as the pointer shows it over the button, and lets it go the same way.
    if (old && IsButton(*old)) {
        const TButton& b = buttons_[static_cast<std::size_t>(*old)];
        b.Over->SetVisible(false);
        b.Caption->SetVisible(false);
    }
    if (!oldFrame.Empty())
        host_.Invalidate(oldFrame);
    if (stop && IsButton(*stop))
        Highlight(static_cast<TButtonIndex>(*stop));
    if (const TRect frame = FocusFrame(); !frame.Empty())
        host_.Invalidate(frame);
    if (stop)
        host_.FocusMoved(*stop);
}

void TForm_Main::PressStop(TFocusStop stop) {
    // A press is a click on the highlighted face: Start does nothing while its face is disabled.
    GuardedCall([&] {
        switch (stop) {
        case TFocusStop::Start:
            if (Image_Start_Over->Enabled())
                Image_Start_OverClick();
            break;
        case TFocusStop::WebSite:
        case TFocusStop::ServerName:
            Image_WebSite_OverClick();
            break;
        case TFocusStop::ControlPanel:
            Image_ControlPanel_OverClick();
            break;
        case TFocusStop::Forum:
            Image_Forum_OverClick();
            break;
        case TFocusStop::Exit:
            Image_Exit_OverClick();
            break;
        case TFocusStop::News:
            if (core_.OpenLink)
                core_.OpenLink(*this, Values().NewsUrl);
            break;
        }
    });
}

std::vector<TAccessibleItem> TForm_Main::AccessibleItems() const {
    std::vector<TAccessibleItem> items;
    for (const TFocusStop stop : kFocusOrder) {
        TAccessibleItem item{stop, {}, HintOf(stop), {}, true};
        if (IsButton(stop)) {
            const TButton& b = buttons_[static_cast<std::size_t>(stop)];
            item.Name = HighlightCaption(static_cast<TButtonIndex>(stop));
            item.Bounds = b.Face->BoundsRect();
            item.Enabled = b.Over->Enabled();
        } else if (stop == TFocusStop::ServerName) {
            item.Name = Values().ServerName;
            item.Bounds = Label_ServerName->BoundsRect();
        } else {
            item.Name = kNewsLinkName;
            const TControlLayout& view = LayoutOf("WebBrowser");
            item.Bounds = {view.Left, view.Top, view.Width, view.Height};
        }
        items.push_back(std::move(item));
    }
    return items;
}

TRect TForm_Main::FocusFrame() const {
    if (focus_ == TFocusStop::ServerName)
        return Label_ServerName->BoundsRect();
    if (focus_ == TFocusStop::News)
        return NewsFrame();
    return {};
}

} // namespace pc
