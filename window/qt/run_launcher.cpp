#include "window/qt/run_launcher.h"

#include "framework/helpers.h"
#include "window/qt/application.h"
#include "window/qt/qt_form.h"

#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace pc {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A path as a shell takes it back: as it is when it holds nothing the shell reads, else in single quotes.
std::string ShellWord(const std::string& path) {
    if (path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-,:@%") ==
        std::string::npos)
        return path;
    std::string word = "'";
    for (char c : path)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

// Why Qt would find no display: the reason in words, or nothing when a display is named or Qt is asked
// for a platform without one (offscreen, vnc, a Wayland socket of its own finding), which Qt then tries.
std::string MissingDisplay() {
    const std::string platform = Environment("QT_QPA_PLATFORM");
    const bool x11 = !Environment("DISPLAY").empty();
    if (platform == "xcb")
        return x11 ? "" : "DISPLAY is not set";
    if (!platform.empty() || x11 || !Environment("WAYLAND_DISPLAY").empty())
        return "";
    return "DISPLAY and WAYLAND_DISPLAY are not set";
}

// One line on stderr for a player without a window: what is wrong and the headless way to the update.
std::string NoWindowLine(const std::string& program, const std::string& what) {
    return program + ": " + what + "; to update this installation without a window run: patchctl update " +
           ShellWord(PathPart(ExecutablePath())) + "\n";
}

// While the application starts, Qt's messages wait here: a platform plugin that cannot start ends with
// a fatal message (and an abort) after several lines of its own, which become the launcher's one line.
std::string startFailureLine;
std::vector<std::string> startMessages;

void StartUpMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs(startFailureLine.c_str(), stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    startMessages.push_back(qFormatLogMessage(type, context, text).toStdString());
}

} // namespace

int RunLauncher(TLauncherCore core, const char* programName) {
    // Qt keeps references to these for the application's whole life.
    std::string name = programName ? programName : "patch-client";
    const std::string program = NamePart(name).empty() ? name : NamePart(name);
    if (const std::string missing = MissingDisplay(); !missing.empty()) {
        const std::string line = NoWindowLine(program, "no display to show the window on (" + missing + ")");
        std::fputs(line.c_str(), stderr);
        return 1;
    }

    // The web engine's sandbox refuses to start for the superuser; the news page is then shown without it.
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);

    int argc = 1;
    char* argv[] = {name.data(), nullptr};
    startFailureLine = NoWindowLine(program, "the window cannot be shown: no Qt platform plugin could start");
    const QtMessageHandler previous = qInstallMessageHandler(StartUpMessageHandler);
    QApplication qtApplication(argc, argv);
    qInstallMessageHandler(previous);
    for (const std::string& message : startMessages)
        std::fprintf(stderr, "%s\n", message.c_str());
    startMessages.clear();
    // The web engine reports its start-up parameters on the console; the launcher has no console to fill.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    InstallFontSubstitutes();

    TApplication application;
    TQtForm form(std::move(core));
    RunMessageLoop(form);
    return 0;
}

} // namespace pc
