// The window from the keyboard and for screen readers, without a toolkit: which parts take the focus and in
// what order, what the keys do, and what each part is called. Both front ends map their keys onto TKey and
// name their accessible objects from AccessibleItems, so the two editions behave and read alike.
#pragma once

#include "window/geometry.h"

#include <array>
#include <string>

namespace pc {

// The keys the window acts on; a front end passes every other key on to its toolkit.
enum class TKey { Tab, Enter, Space, Other };

// The parts that take the focus, in the order Tab visits them: the five buttons from the top of the arc
// down, then the server's name (it links to the server's website) and the news link (the news page in the
// player's browser). Shift+Tab goes backwards; both wrap around.
enum class TFocusStop { Start, WebSite, ControlPanel, Forum, Exit, ServerName, News };
inline constexpr std::array<TFocusStop, 7> kFocusOrder = {
    TFocusStop::Start, TFocusStop::WebSite,    TFocusStop::ControlPanel, TFocusStop::Forum,
    TFocusStop::Exit,  TFocusStop::ServerName, TFocusStop::News};

// What a screen reader hears of one part, and where it is in the client area.
struct TAccessibleItem {
    TFocusStop Stop;
    std::string Name;        // the caption (a button's highlighted caption, the server's name, the link)
    std::string Description; // the hint: what pressing it does
    TRect Bounds;
    bool Enabled = true; // Start does nothing while the update runs
};

inline constexpr const char* kNewsLinkName = "News";
inline constexpr const char* kLogAccessibleName = "Log";

} // namespace pc
