#include "framework/posix/xdg_registry.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

using pc::posix::DefaultBrowserCommand;
using pc::posix::SplitExecValue;
using pc::posix::XdgEnvironment;
using pc::test::TempDir;
using Words = std::vector<std::string>;

TEST(DesktopExec, SplitsUnquotesAndDropsFieldCodes) {
    struct Case {
        std::string value;
        Words words;
    } cases[] = {
        {"firefox-esr %u", {"firefox-esr"}},
        {"/usr/bin/chromium %U", {"/usr/bin/chromium"}},
        {"browser --new-window %u --private", {"browser", "--new-window", "--private"}},
        {"\"/opt/My Browser/run\" --url=%u", {"/opt/My Browser/run", "--url="}},
        {"app %i %c %k %f %F %d %D %n %N %v %m", {"app"}},
        {"app 100%%", {"app", "100%"}},
        {"app \"\"", {"app", ""}},
        {"app \"say \\\"hi\\\"\"", {"app", "say \"hi\""}},
        {"\"a\\sb\" c", {"a b", "c"}},
        {"app \"C:\\\\\\\\dir\"", {"app", "C:\\dir"}}, // doubly escaped backslash inside quotes
        {"  app   x  ", {"app", "x"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        const auto words = SplitExecValue(c.value);
        ASSERT_TRUE(words.has_value()) << c.value;
        EXPECT_EQ(*words, c.words) << c.value;
    }
    EXPECT_FALSE(SplitExecValue("app \"unclosed").has_value());
    EXPECT_FALSE(SplitExecValue("app \"x\\").has_value());
}

// A desktop laid out under a scratch directory.
class FakeDesktop {
public:
    FakeDesktop() {
        for (const char* sub : {"config", "etc", "home/applications", "share/applications", "bin"})
            std::filesystem::create_directories(dir_ / sub);
        env.configHome = dir_ / "config";
        env.configDirs = {dir_ / "etc"};
        env.dataHome = dir_ / "home";
        env.dataDirs = {dir_ / "share"};
        env.programPath = {dir_ / "bin"};
    }
    std::string Program(const std::string& name) {
        const std::string path = dir_.Write("bin/" + name, "#!/bin/sh\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }
    void Desktop(const std::string& id, const std::string& body, const std::string& where = "share") {
        dir_.Write(where + "/applications/" + id, body);
    }
    void Association(const std::string& where, const std::string& list) {
        dir_.Write(where, "[Default Applications]\nx-scheme-handler/http=" + list + "\n");
    }
    std::string Path(const std::string& name) const { return dir_ / name; }

    XdgEnvironment env;

private:
    TempDir dir_;
};

TEST(DefaultBrowser, FromTheHttpAssociation) {
    FakeDesktop desktop;
    const std::string firefox = desktop.Program("firefox-esr");
    desktop.Desktop("firefox-esr.desktop",
                    "[Desktop Entry]\nName=Firefox\nExec=firefox-esr %u\n[Desktop Action new]\nExec=other\n");
    desktop.Association("config/mimeapps.list", "firefox-esr.desktop;");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"" + firefox + "\"");
}

TEST(DefaultBrowser, KeepsArgumentsAndAbsolutePrograms) {
    FakeDesktop desktop;
    desktop.Desktop("web.desktop", "[Desktop Entry]\nExec=\"/opt/Web Browser/web\" --new-tab %U \"a b\"\n");
    desktop.Association("etc/mimeapps.list", "web.desktop");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"/opt/Web Browser/web\" --new-tab \"a b\"");
}

TEST(DefaultBrowser, PrecedenceAndFallback) {
    FakeDesktop desktop;
    desktop.Program("user-browser");
    desktop.Program("system-browser");
    desktop.Program("gnome-browser");
    desktop.Desktop("user.desktop", "[Desktop Entry]\nExec=user-browser %u\n", "home");
    desktop.Desktop("system.desktop", "[Desktop Entry]\nExec=system-browser %u\n");
    desktop.Desktop("gnome.desktop", "[Desktop Entry]\nExec=gnome-browser %u\n");
    desktop.Desktop("hidden.desktop", "[Desktop Entry]\nExec=system-browser\nHidden=true\n");

    // Nothing associated and no fallback: no browser.
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "");
    desktop.env.fallbackBrowser = desktop.Program("x-www-browser");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"" + desktop.Path("bin/x-www-browser") + "\"");

    // The system-wide association; ids that are not installed or hidden are passed over.
    desktop.Association("share/applications/mimeapps.list", "missing.desktop;hidden.desktop;system.desktop");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"" + desktop.Path("bin/system-browser") + "\"");
    // The user's own configuration wins over the system's.
    desktop.Association("config/mimeapps.list", "user.desktop");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"" + desktop.Path("bin/user-browser") + "\"");
    // And a desktop-specific list wins over that for its desktop.
    desktop.Association("config/gnome-mimeapps.list", "gnome.desktop");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"" + desktop.Path("bin/user-browser") + "\"");
    desktop.env.desktops = {"gnome"};
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"" + desktop.Path("bin/gnome-browser") + "\"");
}

TEST(DefaultBrowser, ProgramNotOnThePathStaysBare) {
    FakeDesktop desktop;
    desktop.Desktop("ghost.desktop", "[Desktop Entry]\nExec=ghost-browser %u\n");
    desktop.Association("config/mimeapps.list", "ghost.desktop");
    EXPECT_EQ(DefaultBrowserCommand(desktop.env), "\"ghost-browser\"");
}

TEST(DefaultBrowser, ServedAsTheRegistryOpenCommand) {
    FakeDesktop desktop;
    const std::string browser = desktop.Program("browser");
    desktop.Desktop("b.desktop", "[Desktop Entry]\nExec=browser %u\n");
    desktop.Association("config/mimeapps.list", "b.desktop");
    pc::posix::XdgRegistry backend(desktop.env);
    pc::TRegistry registry(backend);
    registry.SetRootKey(pc::RootKey::LocalMachine);
    EXPECT_FALSE(registry.OpenKeyForReading("SOFTWARE\\Classes\\ftp\\shell\\open\\command"));
    ASSERT_TRUE(registry.OpenKeyForReading("SOFTWARE\\Classes\\http\\shell\\open\\command"));
    EXPECT_EQ(registry.ReadStringValue(""), "\"" + browser + "\"");
    EXPECT_EQ(registry.ReadStringValue("other"), "");

    desktop.env.fallbackBrowser.clear();
    std::filesystem::remove(desktop.Path("config/mimeapps.list"));
    pc::posix::XdgRegistry empty(desktop.env);
    pc::TRegistry none(empty);
    none.SetRootKey(pc::RootKey::LocalMachine);
    EXPECT_FALSE(none.OpenKeyForReading("SOFTWARE\\Classes\\http\\shell\\open\\command"));
    EXPECT_EQ(none.ReadStringValue(""), "");
}

} // namespace
