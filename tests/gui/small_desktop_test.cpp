// On a desktop smaller than the window, the window sits at the top-left corner and still works.
#include "gui_support.h"

#include <QScreen>

namespace pc::test {
namespace {

class SmallDesktop : public GuiTest {};

TEST_F(SmallDesktop, TheWindowStartsAtTheOriginWhenTheDesktopIsTooSmall) {
    const QSize desktop = QGuiApplication::primaryScreen()->virtualSize();
    ASSERT_LT(desktop.width(), 564) << "run this test on a screen narrower than the window";
    FakeCore core;
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.pos(), QPoint(0, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return core.RunCalls == 1; }, 5000));
    MoveTo(form, Centre(*model.Image_Start));
    EXPECT_TRUE(model.Image_Start_Over->Visible());
}

} // namespace
} // namespace pc::test
