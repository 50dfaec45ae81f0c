// The window as built from its layout: boxes, stacking, fonts, the key colour and the pictures.
#include "framework/exceptions.h"
#include "gui_support.h"
#include "window/layout.h"
#include "window/qt/drawing.h"
#include "window/qt/pictures.h"

#include <QFile>
#include <QFontInfo>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextCursor>

#include <cmath>
#include <memory>
#include <queue>

namespace pc::test {
namespace {

class FormLayout : public GuiTest {
protected:
    FakeCore core;
};

TEST_F(FormLayout, ControlsFollowTheLayoutTable) {
    core.Create = [](UiPort&) {};
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    EXPECT_EQ(form.size(), QSize(564, 408));
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(form.windowTitle(), "Patch Client");

    // The model keeps the order the pictures and labels are drawn in; here the boxes as Qt's widgets and
    // fonts give them.
    for (const TControlLayout& entry : kMainFormLayout) {
        QRect box;
        bool visible = false;
        if (TGraphicControl* c = model.FindControl(entry.Name)) {
            box = BoxOf(*c);
            visible = c->Visible();
        } else if (entry.Name == "Memo_Log") {
            box = form.Memo_Log->geometry();
            visible = !form.Memo_Log->isHidden();
        } else if (entry.Name == "WebBrowser") {
            box = form.WebBrowser->geometry();
            visible = !form.WebBrowser->isHidden();
        } else {
            box = form.ProgressBar->geometry();
            visible = !form.ProgressBar->isHidden();
        }
        EXPECT_EQ(visible, entry.Visible) << entry.Name;
        EXPECT_EQ(box.topLeft(), QPoint(entry.Left, entry.Top)) << entry.Name;
        // Labels size themselves to their text; the stored sizes are those of the original fonts.
        if (entry.Name == "Label_advertisement") {
            // Our own credit line, sized to its text.
        } else if (entry.Kind == TControlKind::Label && entry.AutoSize) {
            EXPECT_NEAR(box.width(), entry.Width, 3) << entry.Name;
            EXPECT_NEAR(box.height(), entry.Height, 3) << entry.Name;
        } else {
            EXPECT_EQ(box.size(), QSize(entry.Width, entry.Height)) << entry.Name;
        }
    }
}

TEST_F(FormLayout, FontsAreServedByLiberationSansAtTheLayoutsPixelSizes) {
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    EXPECT_EQ(QFontInfo(form.font()).family(), "Liberation Sans");
    const QFont& start = form.FontOf(*model.Label_Start);
    EXPECT_EQ(QFontInfo(start).family(), "Liberation Sans");
    EXPECT_EQ(start.pixelSize(), 13);
    EXPECT_TRUE(start.bold());
    EXPECT_TRUE(form.FontOf(*model.Label_ServerName).underline());
    EXPECT_EQ(form.FontOf(*model.Label_ServerName).pixelSize(), 16);
    EXPECT_EQ(QFontInfo(form.Memo_Log->font()).family(), "Liberation Sans");
}

TEST_F(FormLayout, TheWindowIsPlacedByTheVirtualDesktopsSize) {
    TQtForm form(core.Core(), TextNews());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QSize desktop = QGuiApplication::primaryScreen()->virtualSize();
    ASSERT_EQ(desktop, QSize(1280, 1024));
    EXPECT_EQ(form.pos(), QPoint(358, 308));
}

TEST_F(FormLayout, ASecondWindowOpenAtTheSameTimeTakesTheNextSpot) {
    FakeCore other;
    auto first = std::make_unique<TQtForm>(core.Core(), TextNews());
    {
        TQtForm second(other.Core(), TextNews());
        EXPECT_EQ(first->pos(), QPoint(358, 308));
        EXPECT_EQ(second.pos(), QPoint(382, 332)) << "one step down and to the right";
        first.reset();
        TQtForm third(other.Core(), TextNews());
        EXPECT_EQ(third.pos(), QPoint(358, 308)) << "the centre is free again once the first has gone";
    }
    TQtForm again(core.Core(), TextNews());
    EXPECT_EQ(again.pos(), QPoint(358, 308));
}

TEST_F(FormLayout, KeyColouredPixelsAreCutOutOfTheWindowButFloatingLettersStay) {
    core.Create = [](UiPort& ui) { ui.SetServerLabel(" Valhalla "); };
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    const QImage picture = form.ComposePicture();
    const QRegion visible = form.VisibleRegion();
    ASSERT_FALSE(visible.isEmpty());
    for (QPoint key : {QPoint(0, 0), QPoint(563, 407), QPoint(560, 200), QPoint(2, 100), QPoint(300, 400)}) {
        EXPECT_EQ(picture.pixel(key), kKeyColour) << key.x() << "," << key.y();
        EXPECT_FALSE(visible.contains(key)) << key.x() << "," << key.y();
    }
    for (QPoint art : {QPoint(100, 100), QPoint(450, 110), QPoint(250, 280), QPoint(20, 380)})
        EXPECT_TRUE(visible.contains(art)) << art.x() << "," << art.y();

    // The server name's letters float on key colour: they, and only they, stay in the window.
    int letters = 0;
    const QRect box = BoxOf(*model.Label_ServerName);
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) {
            const bool key = picture.pixel(x, y) == kKeyColour;
            EXPECT_EQ(visible.contains(QPoint(x, y)), !key) << x << "," << y;
            letters += key ? 0 : 1;
        }
    EXPECT_GT(letters, 40);

    // On the screen the cut-out pixel shows what lies behind the window, an art pixel shows the art.
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::qWait(100);
    const QPoint origin = form.pos();
    const QImage screen =
        QGuiApplication::primaryScreen()->grabWindow(0, origin.x(), origin.y(), 564, 408).toImage();
    EXPECT_NE(screen.pixel(1, 1) & 0xFFFFFF, kKeyColour & 0xFFFFFF);
    EXPECT_EQ(screen.pixel(100, 100) & 0xFFFFFF, picture.pixel(100, 100) & 0xFFFFFF);
}

TEST_F(FormLayout, TheServerNameIsCentredOnItsBoxAndCutAtBothSides) {
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    const QRect box = BoxOf(*model.Label_ServerName);
    auto inkColumns = [&](const QImage& picture) {
        int first = -1, last = -1;
        for (int x = box.left() - 20; x <= box.right() + 20; ++x)
            for (int y = box.top(); y <= box.bottom(); ++y)
                if (x >= 0 && x < 564 && picture.pixel(x, y) != kKeyColour) {
                    if (first < 0)
                        first = x;
                    last = x;
                }
        return std::pair{first, last};
    };
    model.SetServerLabel("Ymir");
    auto [first, last] = inkColumns(form.ComposePicture());
    ASSERT_GE(first, box.left());
    EXPECT_NEAR((first + last) / 2.0, box.center().x(), 3.0) << "a short name is centred";
    EXPECT_EQ(BoxOf(*model.Label_ServerName), box) << "the box never sizes to its text";

    model.SetServerLabel(" The Very Long Name Of A Server Cluster ");
    std::tie(first, last) = inkColumns(form.ComposePicture());
    EXPECT_LE(first, box.left() + 2);
    EXPECT_GE(first, box.left());
    EXPECT_GE(last, box.right() - 2);
    EXPECT_LE(last, box.right());
}

TEST_F(FormLayout, LabelsExpandAmpersandsAndTabsOnOneLine) {
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    TGraphicControl& label = *model.Label_Start;
    const QFontMetrics fm(form.FontOf(label));
    struct Case {
        std::string caption;
        QString shown;
    };
    for (const Case& c : {Case{"A&&B", "A&B"}, Case{"&Start", "Start"}, Case{"Tom & Jerry", "Tom  Jerry"}}) {
        label.SetCaption(c.caption);
        EXPECT_NEAR(BoxOf(label).width(), fm.horizontalAdvance(c.shown), 2) << c.caption;
        EXPECT_EQ(BoxOf(label).height(), fm.height());
    }
    label.SetCaption("a\tb");
    EXPECT_GT(BoxOf(label).width(), fm.horizontalAdvance("a b")) << "the tab is expanded";
}

TEST_F(FormLayout, TheLogAppendsLinesKeepsItsEndInViewAndIsReadOnly) {
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    model.AppendLogLine("- Searching for updates...");
    EXPECT_EQ(form.Memo_Log->toPlainText(), "- Searching for updates...\n");
    // While the lines fit, the first stays where it is; once they do not, the last is at the bottom.
    const QWidget* box = form.Memo_Log->viewport();
    auto lineBox = [&](bool last) {
        QTextCursor cursor(form.Memo_Log->document());
        cursor.movePosition(last ? QTextCursor::End : QTextCursor::Start);
        if (last)
            cursor.movePosition(QTextCursor::PreviousBlock);
        return form.Memo_Log->cursorRect(cursor);
    };
    // Lines longer than the box wrap, as a download's progress line does.
    model.AppendLogLine("- Fetching in full: data/maps/valley.map");
    model.AppendLogLine("- Downloading p3 (1 of 2)");
    model.ReplaceLastLogLine("- Downloading p3 (1 of 2): 41 of 100 MB");
    ASSERT_GT(lineBox(true).top(), lineBox(false).bottom() + lineBox(false).height()) << "no line wraps";
    QTest::qWait(20);
    EXPECT_GE(lineBox(false).top(), 0);
    EXPECT_LE(lineBox(true).bottom(), box->height());
    for (int i = 0; i < 20; ++i)
        model.AppendLogLine("- Downloaded: patch" + std::to_string(i));
    QTest::qWait(20);
    const QScrollBar* bar = form.Memo_Log->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_LT(lineBox(false).bottom(), 0) << "the first line has scrolled away";
    EXPECT_GE(lineBox(true).top(), 0);
    EXPECT_LE(lineBox(true).bottom(), box->height()) << "the last line is cut off";
    EXPECT_TRUE(form.Memo_Log->isReadOnly());
    EXPECT_EQ(form.Memo_Log->focusPolicy() & Qt::TabFocus, 0);
    EXPECT_EQ(form.Memo_Log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(form.Memo_Log->layoutDirection(),
              QLocale::system().textDirection() == Qt::RightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
    // The letters must be readable on the log's background (contrast of at least 4.5 to 1).
    auto luminance = [](QColor c) {
        auto channel = [](double v) {
            v /= 255.0;
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
    };
    const double text = luminance(form.Memo_Log->palette().color(QPalette::Text));
    const double base = luminance(form.Memo_Log->palette().color(QPalette::Base));
    EXPECT_GE((std::max(text, base) + 0.05) / (std::min(text, base) + 0.05), 4.5);
    EXPECT_EQ(form.Memo_Log->palette().color(QPalette::Text),
              ToQColor(RoleColour(TColourRole::CaptionGradient)));
    // Bytes that are not UTF-8 are shown as Windows-1252.
    model.AppendLogLine("- Downloaded: caf\xE9 \x80");
    EXPECT_TRUE(form.Memo_Log->toPlainText().endsWith(QString::fromUtf8("café €\n")));
    // A download's progress line is written over in place, and its end stays in view.
    model.AppendLogLine("- Downloading p7 (1 of 2)");
    model.ReplaceLastLogLine("- Downloading p7 (1 of 2): 41 of 100 MB, 1.0 MB/s, about 59 s left");
    model.ReplaceLastLogLine("- Downloaded: p7");
    EXPECT_TRUE(form.Memo_Log->toPlainText().endsWith(QString::fromUtf8("café €\n- Downloaded: p7\n")));
    QTest::qWait(20);
    EXPECT_GE(lineBox(true).top(), 0);
    EXPECT_LE(lineBox(true).bottom(), box->height());
}

TEST_F(FormLayout, TheNewsViewLoadsAPageAndRejectsAnAddressItCannotTake) {
    QTemporaryDir dir;
    QFile page(dir.filePath("news.html"));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("<html><body><h1>Server news</h1><p>Double experience weekend</p></body></html>");
    page.close();

    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    model.NavigateNews(QUrl::fromLocalFile(page.fileName()).toString().toStdString());
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return form.WebBrowser->PlainText().contains("Double experience"); }, 3000));
    try {
        model.NavigateNews("http://[::1");
        ADD_FAILURE() << "an address that cannot be parsed must be rejected";
    } catch (const EOleException& error) {
        EXPECT_FALSE(std::string(error.what()).empty());
        EXPECT_NE(std::string(error.what()).back(), '.');
    }
}

// The pictures the launcher carries, checked against the relations the window's outline relies on.
TEST_F(FormLayout, TheArtKeepsItsKeyColourRelations) {
    const QImage bg = LoadPicture("background.bmp").convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(bg.size(), QSize(564, 408));
    auto isKey = [&](int x, int y) { return bg.pixel(x, y) == kKeyColour; };

    for (int y = 392; y < 408; ++y)
        for (int x = 0; x < 564; ++x)
            ASSERT_TRUE(isKey(x, y)) << "the bottom 16 rows are key colour: " << x << "," << y;
    int artLeft = 564, artRight = -1, artTop = 408, artBottom = -1;
    for (int y = 0; y < 408; ++y)
        for (int x = 0; x < 564; ++x)
            if (!isKey(x, y)) {
                artLeft = std::min(artLeft, x);
                artRight = std::max(artRight, x);
                artTop = std::min(artTop, y);
                artBottom = std::max(artBottom, y);
            }
    EXPECT_EQ(QRect(QPoint(artLeft, artTop), QPoint(artRight, artBottom)),
              QRect(QPoint(4, 0), QPoint(557, 391)));

    // The key region is one connected piece that touches all four edges.
    std::vector<char> seen(564 * 408, 0);
    std::queue<QPoint> todo;
    todo.push({0, 407});
    seen[407 * 564] = 1;
    int reached = 0;
    bool top = false, left = false, right = false, bottom = false;
    while (!todo.empty()) {
        const QPoint p = todo.front();
        todo.pop();
        ++reached;
        top |= p.y() == 0;
        left |= p.x() == 0;
        right |= p.x() == 563;
        bottom |= p.y() == 407;
        for (QPoint n : {p + QPoint(1, 0), p - QPoint(1, 0), p + QPoint(0, 1), p - QPoint(0, 1)})
            if (n.x() >= 0 && n.x() < 564 && n.y() >= 0 && n.y() < 408 && isKey(n.x(), n.y()) &&
                !seen[n.y() * 564 + n.x()]) {
                seen[n.y() * 564 + n.x()] = 1;
                todo.push(n);
            }
    }
    int keyPixels = 0;
    for (int y = 0; y < 408; ++y)
        for (int x = 0; x < 564; ++x)
            keyPixels += isKey(x, y) ? 1 : 0;
    EXPECT_EQ(reached, keyPixels) << "one connected key region";
    EXPECT_TRUE(top && left && right && bottom);

    auto all = [&](QRect box, bool key) {
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                if (isKey(x, y) != key)
                    return false;
        return true;
    };
    EXPECT_TRUE(all(QRect(376, 8, 176, 25), true)) << "Label_ServerName floats on key colour";
    EXPECT_TRUE(all(QRect(304, 392, 253, 13), true)) << "Label_advertisement floats on key colour";
    for (const TControlLayout& entry : kMainFormLayout) {
        if (entry.Name == "Image_Background" || entry.Name == "Image_Back" ||
            entry.Name == "Label_ServerName" || entry.Name == "Label_advertisement")
            continue;
        if (entry.Kind == TControlKind::Label && entry.Name != "Label_Standby")
            continue; // the hover captions may run onto any art
        EXPECT_TRUE(all(QRect(entry.Left, entry.Top, entry.Width, entry.Height), false))
            << entry.Name << " lies on art";
    }

    const QImage icon(":/assets/patch_client.ico");
    EXPECT_EQ(icon.size(), QSize(48, 48));
    const QImage back = LoadPicture("back.bmp");
    EXPECT_EQ(back.size(), QSize(261, 199));
    EXPECT_EQ(back.pixel(0, 198) & 0xFFFFFF, kKeyColour & 0xFFFFFF);
    for (const char* face : {"start", "website", "controlpanel", "forum", "exit"})
        for (const char* suffix : {"", "_over"}) {
            const QImage image = LoadPicture(std::string(face) + suffix + ".jpg");
            EXPECT_EQ(image.size(), QSize(21, 21)) << face << suffix;
        }
}

} // namespace
} // namespace pc::test
