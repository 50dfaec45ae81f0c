#include "window/qt/news_view.h"

#include "framework/exceptions.h"
#include "window/qt/application.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStackedLayout>
#include <QTextBrowser>
#include <QUrl>

#ifdef PATCH_HAVE_WEBENGINE
#include <QWebEnginePage>
#include <QWebEngineView>
#endif

namespace pc {

namespace {

// The view's description of a rejected address, without trailing blanks, control bytes and periods.
std::string Description(const QString& text) {
    std::string bytes = FromDisplayText(text);
    while (!bytes.empty() && (static_cast<unsigned char>(bytes.back()) <= 32 || bytes.back() == '.'))
        bytes.pop_back();
    return bytes;
}

} // namespace

TNewsView::TNewsView(QWidget* parent, TNewsEngine engine) : QWidget(parent) {
    auto stack = std::make_unique<QStackedLayout>();
    stack_ = stack.get();
    setLayout(stack.release());
    stack_->setContentsMargins(0, 0, 0, 0);
#ifdef PATCH_HAVE_WEBENGINE
    if (engine == TNewsEngine::Web) {
        auto view = std::make_unique<QWebEngineView>(this);
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
        return;
    }
#else
    (void)engine;
#endif
    UseTextBrowser();
}

TNewsView::~TNewsView() = default;

void TNewsView::UseTextBrowser() {
    if (!text_) {
        auto browser = std::make_unique<QTextBrowser>(this);
        browser->setFrameShape(QFrame::NoFrame);
        browser->setFocusPolicy(Qt::ClickFocus);
        browser->setOpenLinks(false);
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
#ifdef PATCH_HAVE_WEBENGINE
    if (web_) {
        static_cast<QWebEngineView*>(web_)->load(url);
        return;
    }
#endif
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
