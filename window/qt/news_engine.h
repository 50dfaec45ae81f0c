// The news view's web engine, kept out of the launcher's start: the engine's libraries take longer to load
// than the rest of the window, so the program does not link them. They come with a small module of the
// program's own, built into it and loaded once the window's first frame is on the screen.
#pragma once

#include "window/news_links.h"

#include <QUrl>
#include <QWidget>

#include <functional>

namespace pc {

// What the engine's page asks the news view.
struct TNewsEngineHooks {
    std::function<bool(const QUrl& target)> Follow;     // the player clicked a link: true to show it here
    std::function<void(const QUrl& target)> OpenWindow; // the page asked for a window of its own
    std::function<TNewsTarget(const QUrl& page, const QUrl& target)> Where; // the link rules
    std::function<void()> Crashed; // the page's render process could not start or died
};

// The module's two entries, looked up by these names.
using TNewsEngineCreate = QWidget* (*)(QWidget* parent, const TNewsEngineHooks& hooks);
using TNewsEngineLoad = void (*)(QWidget* view, const QUrl& url);
inline constexpr const char* kNewsEngineCreateName = "PatchNewsEngineCreate";
inline constexpr const char* kNewsEngineLoadName = "PatchNewsEngineLoad";

struct TWebEngineModule {
    TNewsEngineCreate Create = nullptr;
    TNewsEngineLoad Load = nullptr;
};

// Loads the module the first time (its libraries with it); empty when this system cannot run it.
TWebEngineModule LoadWebEngineModule();

} // namespace pc
