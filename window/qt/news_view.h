// The news view: an embedded HTML view that shows one page by URL. Qt WebEngine where the build has it
// and it can run; otherwise a plain text browser that fetches the page itself. The page stays a news
// page (window/news_links.h): links to other hosts and new windows go to the player's browser, a page
// from the network reaches no local file, no plugin runs, and the right-click menu offers neither the
// page's source nor saving it.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QStackedLayout;
class QTextBrowser;
class QNetworkAccessManager;

namespace pc {

enum class TNewsEngine {
    Web,  // Qt WebEngine, falling back to the text browser where it cannot run
    Text, // the text browser only
};

class TNewsView : public QWidget {
public:
    // `openOutside` hands a page to the player's browser.
    TNewsView(QWidget* parent, TNewsEngine engine, std::function<void(const std::string&)> openOutside);
    ~TNewsView() override;

    // Starts loading the page and returns at once. A URL that the view cannot take raises EOleException.
    // Before StartEngine the web view only remembers it.
    void Navigate(const QString& url);
    // Makes the web engine and loads the page asked for. The engine's start costs more than the rest of
    // the window's, so the form calls this once its first frame is on the screen.
    void StartEngine();

    QString PlainText() const;                // what the text browser shows (for the fallback)
    QWidget* WebView() const { return web_; } // the WebEngine view once it runs, or none

    // Where a page leads when the player follows it or it redirects (true: shown here); what goes to
    // the browser is handed on.
    bool Follow(const QUrl& target);
    // A page asks for a window of its own.
    void OpenWindow(const QUrl& target);

private:
    void UseTextBrowser();
    void LoadIntoTextBrowser(const QUrl& url);

    QStackedLayout* stack_ = nullptr; // owned by this widget
    QWidget* web_ = nullptr;          // the WebEngine view when there is one, owned by this widget
    void (*load_)(QWidget*, const QUrl&) = nullptr; // loads a page into web_
    QTextBrowser* text_ = nullptr;                  // owned by this widget
    bool wantsWeb_ = false;                         // WebEngine, once StartEngine is called
    std::function<void(const std::string&)> openOutside_;
    std::unique_ptr<QNetworkAccessManager> network_;
    QUrl url_;
};

} // namespace pc
