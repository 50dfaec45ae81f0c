// The module that holds the news view's web engine (window/qt/news_engine.h): the only code that links Qt
// WebEngine. The program carries it built in and loads it after its first frame.
#include "window/qt/news_engine.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include <memory>

namespace pc {

namespace {

// The page a new window would show: its first address goes to the browser, and the page goes.
class TWindowRequest final : public QWebEnginePage {
public:
    TWindowRequest(QObject* parent, const TNewsEngineHooks& hooks) : QWebEnginePage(parent), hooks_(hooks) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        if (isMainFrame) {
            hooks_.OpenWindow(url);
            deleteLater();
        }
        return false;
    }

private:
    TNewsEngineHooks hooks_;
};

class TNewsPage final : public QWebEnginePage {
public:
    TNewsPage(QObject* parent, const TNewsEngineHooks& hooks) : QWebEnginePage(parent), hooks_(hooks) {
        QWebEngineSettings* s = settings();
        s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
        s->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
        // A page opens a window only when the player clicks for it.
        s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        switch (type) {
        case NavigationTypeTyped:
            return true; // the launcher's own request (Navigate)
        case NavigationTypeLinkClicked:
            return isMainFrame ? hooks_.Follow(url) : !IsRefused(url);
        default:
            // Redirects, reloads, history and script: inside, or nowhere; only the player's click
            // reaches the browser.
            return isMainFrame ? IsInside(url) : !IsRefused(url);
        }
    }
    QWebEnginePage* createWindow(WebWindowType) override {
        return std::make_unique<TWindowRequest>(parent(), hooks_).release(); // the view owns it
    }

private:
    bool IsInside(const QUrl& url) const { return hooks_.Where(requestedUrl(), url) == TNewsTarget::Inside; }
    bool IsRefused(const QUrl& url) const {
        return hooks_.Where(requestedUrl(), url) == TNewsTarget::Refused;
    }

    TNewsEngineHooks hooks_;
};

// Qt's menu without what would show the page's source or save the page or its pieces.
class TNewsWebView final : public QWebEngineView {
public:
    using QWebEngineView::QWebEngineView;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override {
        std::unique_ptr<QMenu> menu(createStandardContextMenu());
        for (QWebEnginePage::WebAction action :
             {QWebEnginePage::ViewSource, QWebEnginePage::SavePage, QWebEnginePage::DownloadLinkToDisk,
              QWebEnginePage::DownloadImageToDisk, QWebEnginePage::DownloadMediaToDisk,
              QWebEnginePage::InspectElement, QWebEnginePage::OpenLinkInNewWindow,
              QWebEnginePage::OpenLinkInNewTab, QWebEnginePage::OpenLinkInNewBackgroundTab})
            menu->removeAction(page()->action(action));
        if (menu->actions().isEmpty())
            return;
        menu->setObjectName("NewsContextMenu");
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu.release()->popup(event->globalPos());
    }
};

} // namespace

} // namespace pc

// The module's entries, found by name when it is loaded.
extern "C" __attribute__((visibility("default"))) QWidget*
PatchNewsEngineCreate(QWidget* parent, const pc::TNewsEngineHooks& hooks) {
    auto view = std::make_unique<pc::TNewsWebView>(parent);
    // The view owns its page, and the page the window requests it makes.
    view->setPage(std::make_unique<pc::TNewsPage>(view.get(), hooks).release());
    QObject::connect(view->page(), &QWebEnginePage::renderProcessTerminated, view.get(),
                     [crashed = hooks.Crashed](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                         if (status != QWebEnginePage::NormalTerminationStatus)
                             crashed();
                     });
    return view.release(); // owned by its parent
}

extern "C" __attribute__((visibility("default"))) void PatchNewsEngineLoad(QWidget* view, const QUrl& url) {
    static_cast<QWebEngineView*>(view)->load(url);
}
