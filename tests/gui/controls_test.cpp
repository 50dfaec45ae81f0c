// The progress bar, the timer component and the JPEG decoder.
#include "framework/exceptions.h"
#include "gui_support.h"
#include "window/controls.h"
#include "window/pictures.h"

#include <QBuffer>
#include <QFile>

#include <limits>

namespace pc::test {
namespace {

class Controls : public GuiTest {};

TEST_F(Controls, TheProgressBarRejectsANegativeMaximumAndKeepsItsState) {
    FakeCore core;
    TForm_Main form(core.Core(), TextNews());
    form.SetProgressMax(900);
    form.SetProgressPosition(300);
    try {
        form.SetProgressMax(-1);
        ADD_FAILURE() << "a maximum below the minimum must raise";
    } catch (const EInvalidOperation& error) {
        EXPECT_STREQ(error.what(), "TProgressBar property out of range");
    }
    EXPECT_EQ(form.ProgressBar->Max(), 900);
    EXPECT_EQ(form.ProgressBar->Position(), 300);
    EXPECT_FALSE(form.ProgressBar->isVisible());
    form.SetProgressVisible(true);
    form.show();
    EXPECT_TRUE(form.ProgressBar->isVisible());
}

TEST_F(Controls, TheProgressBarKeepsPositionsWithinItsThirtyTwoBitRange) {
    TProgressBar bar(nullptr);
    struct Step {
        const char* what;
        std::function<void()> act;
        std::int32_t max, position;
    };
    const std::int32_t big = std::numeric_limits<std::int32_t>::max();
    const std::vector<Step> steps = {
        {"max 900", [&] { bar.SetMax(900); }, 900, 0},
        {"step 1024 stops at max", [&] { bar.StepBy(1024); }, 900, 900},
        {"position above max", [&] { bar.SetPosition(5000); }, 900, 900},
        {"position below min", [&] { bar.SetPosition(-7); }, 900, 0},
        {"max near 2^31", [&] { bar.SetMax(big); }, big, 0},
        {"position 100000", [&] { bar.SetPosition(100000); }, big, 100000},
        {"step to the top", [&] { bar.StepBy(big); }, big, big},
        {"max 0 pulls position down", [&] { bar.SetMax(0); }, 0, 0},
    };
    for (const Step& s : steps) {
        s.act();
        EXPECT_EQ(bar.Max(), s.max) << s.what;
        EXPECT_EQ(bar.Position(), s.position) << s.what;
    }
}

TEST_F(Controls, ASixteenBitProgressControlRejectsValuesOutsideItsRange) {
    TProgressBar bar(nullptr, true);
    bar.SetMax(65535);
    for (std::int32_t bad : {65536, -1, 900000}) {
        try {
            bar.SetMax(bad);
            ADD_FAILURE() << bad;
        } catch (const EInvalidOperation& error) {
            EXPECT_STREQ(error.what(), "Value must be between 0 and 65535");
        }
        EXPECT_THROW(bar.SetPosition(bad), EInvalidOperation);
    }
    EXPECT_EQ(bar.Max(), 65535);
}

TEST_F(Controls, ATimerTicksWhileEnabledAndRestartsWhenEnabledAgain) {
    TTimer timer(5);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    timer.SetEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 2000));
    timer.SetEnabled(false);
    const int stopped = ticks;
    QTest::qWait(30);
    EXPECT_EQ(ticks, stopped);
    EXPECT_FALSE(timer.Enabled());
}

TEST_F(Controls, AnErrorInATickIsReportedAndTheTimerKeepsItsState) {
    TTimer timer(5);
    int ticks = 0;
    timer.OnTimer = [&] {
        if (++ticks == 1)
            throw Exception("Disk full");
    };
    ModalWatcher watcher;
    timer.SetEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
    EXPECT_TRUE(timer.Enabled());
    ASSERT_FALSE(watcher.Seen().empty());
    EXPECT_EQ(watcher.Seen()[0].Text, "Disk full.");
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
