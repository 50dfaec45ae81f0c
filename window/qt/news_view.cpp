#include "window/qt/news_view.h"

#include "framework/exceptions.h"
#include "window/news_links.h"
#include "window/qt/application.h"
#include "window/qt/news_engine.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStackedLayout>
#include <QTextBrowser>
#include <QUrl>

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
    const TWebEngineModule engine = LoadWebEngineModule();
    if (!engine.Create) {
        UseTextBrowser();
        LoadIntoTextBrowser(url_);
        return;
    }
    TNewsEngineHooks hooks;
    hooks.Follow = [this](const QUrl& target) { return Follow(target); };
    hooks.OpenWindow = [this](const QUrl& target) { OpenWindow(target); };
    hooks.Where = [](const QUrl& page, const QUrl& target) {
        return NewsLinkTarget(Address(page), Address(target));
    };
    // A render process that cannot start or dies leaves the plain browser in its place.
    hooks.Crashed = [this] {
        if (web_) {
            UseTextBrowser();
            LoadIntoTextBrowser(url_);
        }
    };
    web_ = engine.Create(this, hooks);
    load_ = engine.Load;
    web_->setFocusPolicy(Qt::ClickFocus); // the Tab key never moves into the news
    stack_->addWidget(web_);
    stack_->setCurrentWidget(web_);
    if (!url_.isEmpty())
        load_(web_, url_);
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
        if (web_)
            load_(web_, url);
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
