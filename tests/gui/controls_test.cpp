// The progress bar widget and the JPEG decoder.
#include "framework/exceptions.h"
#include "gui_support.h"
#include "window/qt/controls.h"
#include "window/qt/pictures.h"

#include <QBuffer>
#include <QFile>

namespace pc::test {
namespace {

class Controls : public GuiTest {};

TEST_F(Controls, TheProgressBarWidgetShowsTheModelsState) {
    FakeCore core;
    TQtForm qt(core.Core(), TextNews());
    qt.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&qt));
    EXPECT_FALSE(qt.ProgressBar->isVisible());
    qt.Model().SetProgressMax(900);
    qt.Model().StepProgress(300);
    qt.Model().SetProgressVisible(true);
    EXPECT_TRUE(qt.ProgressBar->isVisible());
    EXPECT_EQ(qt.ProgressBar->State(), (TProgressState{true, 0, 900, 300}));

    // A third of the bar's inside is filled with blocks, the rest is background.
    QTest::qWait(30);
    const QImage bar = qt.ProgressBar->grab().toImage();
    const int inner = bar.width() - 4;
    auto filled = [&](int x) { return bar.pixel(x, bar.height() / 2) == QColor(96, 200, 96).rgb(); };
    int blocks = 0;
    for (int x = 2; x < 2 + inner / 3 - 1; ++x)
        blocks += filled(x) ? 1 : 0;
    EXPECT_GT(blocks, inner / 6) << "blocks up to a third";
    for (int x = 2 + inner / 3 + 1; x < 2 + inner; ++x)
        EXPECT_FALSE(filled(x)) << x;
    qt.Model().SetProgressVisible(false);
    EXPECT_FALSE(qt.ProgressBar->isVisible());
}

TEST_F(Controls, JpegFacesDecodeThroughLibjpegAndDamagedDataIsAnError) {
    QFile file(":/assets/start_over.jpg");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    const QImage decoded = DecodeJpeg(data);
    EXPECT_EQ(decoded.size(), QSize(21, 21));
    // Qt's own reader, as a peer, sees nearly the same pixels.
    const QImage peer = QImage::fromData(data, "JPG").convertToFormat(QImage::Format_RGB888);
    if (!peer.isNull()) {
        int worst = 0;
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 21; ++x) {
                const QRgb a = decoded.pixel(x, y), b = peer.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                  std::abs(qBlue(a) - qBlue(b))});
            }
        EXPECT_LE(worst, 2);
    }
    EXPECT_THROW(DecodeJpeg(data.left(40)), Exception);
    EXPECT_THROW(DecodeJpeg(QByteArray("not a picture")), Exception);
}

} // namespace
} // namespace pc::test
