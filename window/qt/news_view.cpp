#include "window/qt/news_view.h"

#include "framework/exceptions.h"
#include "window/news_links.h"
#include "window/qt/application.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStackedLayout>
#include <QTextBrowser>
#include <QUrl>

#ifdef PATCH_HAVE_WEBENGINE
#include <QContextMenuEvent>
#include <QMenu>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>
#endif

#include <memory>
#include <utility>

namespace pc {

namespace {

// The view's description of a rejected address, without trailing blanks, control bytes and periods.
std::string Description(const QString& text) {
    std::string bytes = FromDisplayText(text);
    while (!bytes.empty() && (static_cast<unsigned char>(bytes.back()) <= 32 || bytes.back() == '.'))
        bytes.pop_back();
    return bytes;
}

std::string Address(const QUrl& url) {
    return url.toEncoded().toStdString();
}

#ifdef PATCH_HAVE_WEBENGINE

// The page a new window would show: its first address goes to the browser, and the page goes.
class TWindowRequest final : public QWebEnginePage {
public:
    explicit TWindowRequest(TNewsView& view) : QWebEnginePage(&view), view_(view) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        if (isMainFrame) {
            view_.OpenWindow(url);
            deleteLater();
        }
        return false;
    }

private:
    TNewsView& view_;
};

class TNewsPage final : public QWebEnginePage {
public:
    TNewsPage(TNewsView& view, QObject* parent) : QWebEnginePage(parent), view_(view) {
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
            return isMainFrame ? view_.Follow(url) : !IsRefused(url);
        default:
            // Redirects, reloads, history and script: inside, or nowhere; only the player's click
            // reaches the browser.
            return isMainFrame ? IsInside(url) : !IsRefused(url);
        }
    }
    QWebEnginePage* createWindow(WebWindowType) override {
        return std::make_unique<TWindowRequest>(view_).release(); // the view owns it
    }

private:
    bool IsInside(const QUrl& url) const {
        return NewsLinkTarget(Address(requestedUrl()), Address(url)) == TNewsTarget::Inside;
    }
    bool IsRefused(const QUrl& url) const {
        return NewsLinkTarget(Address(requestedUrl()), Address(url)) == TNewsTarget::Refused;
    }

    TNewsView& view_;
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

#endif

} // namespace

TNewsView::TNewsView(QWidget* parent, TNewsEngine engine, std::function<void(const std::string&)> openOutside)
    : QWidget(parent), openOutside_(std::move(openOutside)) {
    auto stack = std::make_unique<QStackedLayout>();
    stack_ = stack.get();
    setLayout(stack.release());
    stack_->setContentsMargins(0, 0, 0, 0);
#ifdef PATCH_HAVE_WEBENGINE
    wantsWeb_ = engine == TNewsEngine::Web;
#else
    (void)engine;
#endif
    if (!wantsWeb_)
        UseTextBrowser();
}

TNewsView::~TNewsView() = default;

void TNewsView::StartEngine() {
#ifdef PATCH_HAVE_WEBENGINE
    if (!wantsWeb_ || web_)
        return;
    auto view = std::make_unique<TNewsWebView>(this);
    view->setPage(std::make_unique<TNewsPage>(*this, view.get()).release()); // the view owns it
    view->setFocusPolicy(Qt::ClickFocus); // the Tab key never moves into the news
    // A render process that cannot start or dies leaves the plain browser in its place.
    connect(view->page(), &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                if (status != QWebEnginePage::NormalTerminationStatus && web_) {
                    UseTextBrowser();
                    LoadIntoTextBrowser(url_);
                }
            });
    web_ = view.get();
    stack_->addWidget(view.release());
    stack_->setCurrentWidget(web_);
    if (!url_.isEmpty())
        static_cast<QWebEngineView*>(web_)->load(url_);
#endif
}

void TNewsView::UseTextBrowser() {
    wantsWeb_ = false;
    if (!text_) {
        auto browser = std::make_unique<QTextBrowser>(this);
        browser->setFrameShape(QFrame::NoFrame);
        browser->setFocusPolicy(Qt::ClickFocus);
        browser->setOpenLinks(false);
        connect(browser.get(), &QTextBrowser::anchorClicked, this, [this](const QUrl& link) {
            const QUrl target = url_.resolved(link);
            if (Follow(target)) {
                url_ = target;
                LoadIntoTextBrowser(target);
            }
        });
        text_ = browser.get();
        stack_->addWidget(browser.release());
    }
    stack_->setCurrentWidget(text_);
    if (web_) {
        web_->hide();
        web_->deleteLater();
        web_ = nullptr;
    }
}

bool TNewsView::Follow(const QUrl& target) {
    switch (NewsLinkTarget(Address(url_), Address(target))) {
    case TNewsTarget::Inside:
        return true;
    case TNewsTarget::Browser:
        if (openOutside_)
            openOutside_(Address(target));
        return false;
    case TNewsTarget::Refused:
        break;
    }
    return false;
}

void TNewsView::OpenWindow(const QUrl& target) {
    if (NewsWindowTarget(Address(target)) == TNewsTarget::Browser && openOutside_)
        openOutside_(Address(target));
}

void TNewsView::Navigate(const QString& address) {
    QUrl url;
    if (address.trimmed().isEmpty()) {
        url = QUrl(QStringLiteral("about:blank"));
    } else {
        url = QUrl(address, QUrl::StrictMode);
        if (url.isValid() && url.isRelative())
            url = QUrl::fromUserInput(address);
        if (!url.isValid())
            throw EOleException(Description(url.errorString().isEmpty() ? QStringLiteral("Invalid address")
                                                                        : url.errorString()));
    }
    url_ = url;
    if (wantsWeb_) {
#ifdef PATCH_HAVE_WEBENGINE
        if (web_)
            static_cast<QWebEngineView*>(web_)->load(url);
#endif
        return; // StartEngine loads it
    }
    LoadIntoTextBrowser(url);
}

void TNewsView::LoadIntoTextBrowser(const QUrl& url) {
    if (url.isLocalFile() || url.scheme() == QLatin1String("qrc")) {
        text_->setSource(url);
        return;
    }
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) {
        text_->clear();
        return;
    }
    if (!network_)
        network_ = std::make_unique<QNetworkAccessManager>();
    QNetworkReply* reply = network_->get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        if (url != url_)
            return; // a later navigation has taken over
        text_->document()->setBaseUrl(url);
        if (reply->error() == QNetworkReply::NoError)
            text_->setHtml(QString::fromUtf8(reply->readAll()));
        else
            text_->setPlainText(reply->errorString());
    });
}

QString TNewsView::PlainText() const {
    return text_ ? text_->toPlainText() : QString();
}

} // namespace pc
