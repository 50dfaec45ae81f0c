// The news view with its web engine, on a page from nginx on loopback that tries what a news page must not
// do and shows in its title whether it got there.
#include "gui_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "window/qt/news_view.h"

#include <QMenu>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace pc::test {
namespace {

class NewsView : public GuiTest {
protected:
    QVariant Run(QWebEngineView& web, const QString& script) {
        QVariant result;
        bool done = false;
        web.page()->runJavaScript(script, [&](const QVariant& value) {
            result = value;
            done = true;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 5000)) << script.toStdString();
        return result;
    }
    // Where an element of the page is on the view.
    QPoint CentreOf(QWebEngineView& web, const QString& id) {
        const QVariantList box =
            Run(web, "(r => [r.left + r.width / 2, r.top + r.height / 2])(document.getElementById('" + id +
                         "').getBoundingClientRect())")
                .toList();
        return box.size() == 2 ? QPoint(box[0].toInt(), box[1].toInt()) : QPoint();
    }
};

TEST_F(NewsView, APageFromTheNetworkStaysANewsPage) {
    TempDir site;
    NginxServer server(site.Path());
    const std::string away = "http://localhost:" + std::to_string(server.Port()) + "/away.html";
    const std::string popup = server.Url("/popup.html");
    site.Write("away.html", "<title>away</title>");
    site.Write("popup.html", "<title>popup</title>");
    site.Write("news.html", "<title>news</title><body style='height:600px'><p><a id='away' href='" + away +
                                "'>away</a> <a id='popup' target='_blank' href='" + popup +
                                "'>popup</a> <a id='opener' href='#' onclick=\"window.open('" + popup +
                                "'); return false\">opener</a></p>");
    QWidget parent;
    std::vector<std::string> browser;
    TNewsView view(&parent, TNewsEngine::Web, [&](const std::string& url) { browser.push_back(url); });
    view.setGeometry(0, 0, 400, 300);
    parent.resize(400, 300);
    parent.show();
    view.Navigate(QString::fromStdString(server.Url("/news.html")));
    view.StartEngine();
    auto* web = static_cast<QWebEngineView*>(view.WebView());
    ASSERT_NE(web, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return web->title() == "news"; }, 20000)) << web->title().toStdString();
    QWidget* input = web->focusProxy();
    ASSERT_NE(input, nullptr);

    // The player's click on a link to another host, or on one that opens a window, goes to the browser.
    QTest::mouseClick(input, Qt::LeftButton, {}, CentreOf(*web, "away"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser.size() == 1; }, 5000));
    QTest::mouseClick(input, Qt::LeftButton, {}, CentreOf(*web, "popup"));
    QTest::mouseClick(input, Qt::LeftButton, {}, CentreOf(*web, "opener"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser.size() == 3; }, 5000));
    EXPECT_EQ(browser, (std::vector<std::string>{away, popup, popup}));
    // A script opens no window by itself, and reaches no local file, by fetching or by going there.
    EXPECT_EQ(Run(*web, "String(window.open('" + QString::fromStdString(popup) + "'))").toString(), "null");
    Run(*web, "fetch('file:///etc/hostname').then(() => document.title = 'file read', () => document.title = "
              "'file refused')");
    EXPECT_TRUE(QTest::qWaitFor([&] { return web->title().startsWith("file"); }, 5000));
    EXPECT_EQ(web->title(), "file refused");
    Run(*web, "location.href = 'file:///etc/hostname'");
    QTest::qWait(1000); // what the engine would take to go there
    EXPECT_EQ(web->url().toString().toStdString(), server.Url("/news.html"));
    EXPECT_EQ(browser.size(), 3u);
    // No plugin runs (the PDF viewer included).
    EXPECT_EQ(Run(*web, "navigator.plugins.length").toInt(), 0);

    // The right-click menu offers neither the page's source nor saving it.
    QStringList offered;
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menu->objectName() != "NewsContextMenu")
            return;
        for (const QAction* action : menu->actions())
            if (!action->isSeparator())
                offered << action->text();
        seen = true;
        menu->close();
        poll.stop();
    });
    poll.start(20);
    QTest::mouseClick(input, Qt::RightButton, {}, QPoint(200, 250));
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen; }, 5000));
    EXPECT_FALSE(offered.isEmpty());
    for (const QWebEnginePage::WebAction action : {QWebEnginePage::ViewSource, QWebEnginePage::SavePage})
        EXPECT_FALSE(offered.contains(web->page()->action(action)->text()))
            << offered.join(", ").toStdString();
}

} // namespace
} // namespace pc::test
