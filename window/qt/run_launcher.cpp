#include "window/qt/run_launcher.h"

#include "framework/gui/application.h"
#include "window/qt/qt_form.h"

#include <QApplication>
#include <QLoggingCategory>

#include <string>
#include <unistd.h>

namespace pc {

int RunLauncher(TLauncherCore core, const char* programName) {
    // The web engine's sandbox refuses to start for the superuser; the news page is then shown without it.
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);

    // Qt keeps references to these for the application's whole life.
    std::string name = programName ? programName : "patch-client";
    int argc = 1;
    char* argv[] = {name.data(), nullptr};
    QApplication qtApplication(argc, argv);
    // The web engine reports its start-up parameters on the console; the launcher has no console to fill.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    InstallFontSubstitutes();

    TApplication application;
    TQtForm form(std::move(core));
    RunMessageLoop(form);
    return 0;
}

} // namespace pc
