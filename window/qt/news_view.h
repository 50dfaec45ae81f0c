// The news view: an embedded HTML view that shows one page by URL. Qt WebEngine where the build has it
// and it can run; otherwise a plain text browser that fetches the page itself.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

#include <memory>

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
    TNewsView(QWidget* parent, TNewsEngine engine);
    ~TNewsView() override;

    // Starts loading the page and returns at once. A URL that the view cannot take raises EOleException.
    void Navigate(const QString& url);

    QString PlainText() const; // what the text browser shows (for the fallback)

private:
    void UseTextBrowser();
    void LoadIntoTextBrowser(const QUrl& url);

    QStackedLayout* stack_ = nullptr; // owned by this widget
    QWidget* web_ = nullptr;          // the WebEngine view when there is one, owned by this widget
    QTextBrowser* text_ = nullptr;    // owned by this widget
    std::unique_ptr<QNetworkAccessManager> network_;
    QUrl url_;
};

} // namespace pc
