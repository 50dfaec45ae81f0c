#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "launcher/config.h"
#include "tests/support/fake_registry.h"
#include "tests/support/fake_ui.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

using pc::Config;
using pc::RegistryType;
using pc::RootKey;
using pc::test::FakeRegistry;
using pc::test::RecordingUi;
using pc::test::TempDir;
using Calls = std::vector<std::string>;

const std::string kCommandKey = "SOFTWARE\\Classes\\http\\shell\\open\\command";

// The scrambled file for `plain`: two hex digits of the key, then every byte shifted up by key + 19.
std::string Scramble(unsigned key, const std::string& plain) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", key);
    std::string out = hex;
    for (unsigned char c : plain)
        out += static_cast<char>((c + key + 19) % 256);
    return out;
}

const std::string kPlain = "client_title=Realm Online;\r\n"
                           "newsfile_url=http://news.example/;\r\n"
                           "patchlist_url=http://patch.example/list.txt;\r\n"
                           "server_name=Realm;\r\n"
                           "website_url=http://realm.example/;\r\n"
                           "controlpanel_url=http://cp.example/;\r\n"
                           "forum_url=http://forum.example/;\r\n"
                           "client_exe=game.exe;\r\n";

const pc::ConfigValues kValues = {
    "Realm Online",          "http://news.example/", "http://patch.example/list.txt", "Realm",
    "http://realm.example/", "http://cp.example/",   "http://forum.example/",         "game.exe",
};

pc::ConfigValues ValuesOf(const pc::LauncherConfig& config, const std::string& title) {
    return {title,
            config.newsUrl,
            config.patchListUrl,
            config.serverName,
            config.websiteUrl,
            config.controlPanelUrl,
            config.forumUrl,
            config.clientExe};
}

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        registry.SetValue(RootKey::LocalMachine, kCommandKey, "", RegistryType::String,
                          std::string("\"/usr/bin/firefox\" -osint -url \"%1\"\0", 36));
    }
    std::string WriteConfig(const std::string& bytes) { return dir.Write("Config.ini", bytes); }
    void Run() { pc::FormCreate(ui, dir.Path(), registry); }

    TempDir dir;
    RecordingUi ui;
    FakeRegistry registry;
};

TEST_F(StartUp, ArmsTheWindowWithTheConfiguredValues) {
    WriteConfig(Scramble(0x5A, kPlain));
    Run();
    EXPECT_EQ(ui.calls, (Calls{
                            "SetApplicationTitle:",
                            "CreateHiddenTextBuffer",
                            "SetApplicationTitle:Realm Online",
                            "SetWindowCaption:Realm Online",
                            "SetServerLabel: Realm ",
                            "DestroyHiddenTextBuffer",
                            "NavigateNews:http://news.example/",
                            "ArmPatchTimer",
                        }));
    EXPECT_EQ(ValuesOf(Config(), ui.title), kValues);
    EXPECT_EQ(Config().applicationDir, dir.Path());
    EXPECT_EQ(Config().defaultBrowserPath, "/usr/bin/firefox");
    EXPECT_EQ(ui.buffersDestroyed, 1);
}

TEST_F(StartUp, ApplicationDirectoryGetsItsSlash) {
    WriteConfig(Scramble(0x5A, kPlain));
    std::string bare = dir.Path();
    bare.pop_back();
    pc::FormCreate(ui, bare, registry);
    EXPECT_EQ(Config().applicationDir, dir.Path());
    EXPECT_TRUE(ui.armed);
}

TEST_F(StartUp, MissingConfigShowsTheNoticeAndEnds) {
    std::filesystem::create_directory(dir / "unrelated");
    Run();
    EXPECT_EQ(ui.calls, (Calls{"SetApplicationTitle:", "ShowMessageBox:Essential file missing: Config.ini",
                               "TerminateApplication"}));
    EXPECT_EQ(ui.boxCaptions, Calls{""});
    EXPECT_FALSE(ui.armed);
    EXPECT_EQ(Config().defaultBrowserPath, "/usr/bin/firefox");
}

TEST_F(StartUp, ConfigThatIsADirectoryCountsAsMissing) {
    std::filesystem::create_directory(dir / "Config.ini");
    Run();
    EXPECT_EQ(ui.messageBoxes, Calls{"Essential file missing: Config.ini"});
    EXPECT_EQ(ui.terminateRequests, 1);
}

TEST_F(StartUp, RejectedNewsPageLeavesTheWindowUnarmed) {
    WriteConfig(Scramble(0x5A, kPlain));
    ui.FailNavigation(std::make_exception_ptr(pc::EOleSysError("Unspecified error")));
    EXPECT_THROW(Run(), pc::EOleSysError);
    EXPECT_FALSE(ui.armed);
    EXPECT_EQ(ui.calls.back(), "NavigateNews:http://news.example/");
    EXPECT_EQ(Config().clientExe, "game.exe"); // the configuration itself was loaded
}

TEST_F(StartUp, BrowserValueOfTheWrongTypeStopsBeforeTheConfig) {
    WriteConfig(Scramble(0x5A, kPlain));
    registry.SetValue(RootKey::LocalMachine, kCommandKey, "", RegistryType::DWord,
                      std::string("\1\0\0\0", 4));
    try {
        Run();
        ADD_FAILURE();
    } catch (const pc::ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for ''");
        EXPECT_EQ(pc::WithClosingPeriod(e.Message()), "Invalid data type for ''");
    }
    EXPECT_EQ(ui.calls, Calls{"SetApplicationTitle:"});
    EXPECT_EQ(Config().newsUrl, "");
    EXPECT_FALSE(ui.armed);
}

TEST_F(StartUp, KeyThatIsNotHexadecimalIsAConversionError) {
    struct Case {
        std::string file;
        std::string message;
    } cases[] = {
        {"", "'$' is not a valid integer value"},
        {"G1rest", "'$G1' is not a valid integer value"},
        {" 5rest", "'$ 5' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        WriteConfig(c.file);
        RecordingUi ui;
        try {
            pc::FormCreate(ui, dir.Path(), registry);
            ADD_FAILURE() << c.file;
        } catch (const pc::EConvertError& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_EQ(ui.calls, (Calls{"SetApplicationTitle:", "CreateHiddenTextBuffer"}));
        EXPECT_FALSE(ui.armed);
    }
}

TEST_F(StartUp, OneCharacterFileIsAKeyAndNoText) {
    WriteConfig("7");
    Run();
    EXPECT_EQ(ui.title, "");
    EXPECT_EQ(ui.serverLabel, "  ");
    EXPECT_EQ(Config().clientExe, "");
    EXPECT_TRUE(ui.armed);
}

TEST(ConfigFile, KeysThatLeaveTheTextAsItIsAndShiftItMost) {
    TempDir dir;
    // Key ED shifts by 0: the file after the key is the plain text. Key 00 shifts by 19; lower-case hex too.
    EXPECT_EQ(pc::ReadConfigValues(dir.Write("Config.ini", "ED" + kPlain)), kValues);
    EXPECT_EQ(pc::ReadConfigValues(dir.Write("Config.ini", "ed" + kPlain)), kValues);
    EXPECT_EQ(pc::ReadConfigValues(dir.Write("Config.ini", Scramble(0x00, kPlain))), kValues);
    std::string shifted19;
    for (unsigned char c : kPlain)
        shifted19 += static_cast<char>(c + 19);
    EXPECT_EQ(pc::ReadConfigValues(dir.Write("Config.ini", "00" + shifted19)), kValues);
}

std::string LastValue(const std::string& plain, unsigned key = 0xED) {
    TempDir dir;
    return pc::ReadConfigValues(dir.Write("Config.ini", Scramble(key, plain)))[7];
}

TEST(ConfigFile, TrailingCharacterAndTheLastLine) {
    const std::string head = kPlain.substr(0, kPlain.find("client_exe"));
    EXPECT_EQ(LastValue(head + "client_exe=game.exe;\r\n"), "game.exe");
    EXPECT_EQ(LastValue(head + "client_exe=game.exe\r\n"), "game.ex");
    // Without a line break after it the last value runs to the end and keeps its trailing character.
    EXPECT_EQ(LastValue(head + "client_exe=game.exe;"), "game.exe;");
    EXPECT_EQ(LastValue(head + "client_exe:game.exe#\r\n"), "game.exe");
}

// Writes a file whose scrambled bytes are given directly, to place lone CR, LF or NUL bytes.
pc::ConfigValues ReadRaw(const std::string& scrambled) {
    TempDir dir;
    return pc::ReadConfigValues(dir.Write("Config.ini", scrambled));
}

TEST(ConfigFile, LoneLineBreakBytesAndNulInTheScrambledText) {
    // Under key 00 the plain bytes 0xFA 0xF7 scramble to a CR LF pair, which passes the load unchanged.
    EXPECT_EQ(ReadRaw(Scramble(0x00, "client_title=A\xFA\xF7;\r\n"))[0], "A\xFA\xF7");

    // Under key 00 the plain byte 0xFA scrambles to a lone CR, which gains an LF before descrambling:
    // one byte more from there on.
    std::string plain = "client_title=A\xFA"
                        "B;\r\nnewsfile_url=N;\r\n";
    std::string scrambled = Scramble(0x00, plain);
    ASSERT_EQ(scrambled[2 + 14], '\r');
    const auto damaged = ReadRaw(scrambled);
    // The title line now holds A, 0xFA, then LF - 19 = 0xF7, then B.
    EXPECT_EQ(damaged[0], "A\xFA\xF7"
                          "B");

    // A scrambled lone LF (plain 0xF7 under key 00) becomes CR LF as well: 0xFA then 0xF7.
    plain = "client_title=A\xF7"
            "B;\r\n";
    EXPECT_EQ(ReadRaw(Scramble(0x00, plain))[0], "A\xFA\xF7"
                                                 "B");

    // A scrambled NUL (plain 0xED under key 00) ends the text there: the title runs to that point.
    plain = "client_title=Realm\xED"
            "Online;\r\nnewsfile_url=N;\r\n";
    const auto cut = ReadRaw(Scramble(0x00, plain));
    EXPECT_EQ(cut[0], "Realm"); // no CR LF left: the value runs to the end of the text
    // Only the first character went with the first "line"; the next key is not found and its length is
    // skipped from the start, which lands on the title's value again.
    EXPECT_EQ(cut[1], "Realm");
}

TEST(ConfigFile, KeysOutOfOrderAreCutAtTheFirstLine) {
    const std::string swapped = "newsfile_url=N;\r\nclient_title=T;\r\n";
    TempDir dir;
    const auto values = pc::ReadConfigValues(dir.Write("Config.ini", "ED" + swapped));
    // client_title is found on the second line, but the value ends where the first line does: the caret
    // stands before the anchor, so the bytes from the first line's last character up to the value's start
    // are taken.
    EXPECT_EQ(values[0], ";\r\nclient_title=");
    // The first line is gone and newsfile_url is missing: its length is skipped from the start.
    EXPECT_EQ(values[1], "=T");
}

TEST(LookupConfigValue, RemovesTheFirstLine) {
    pc::TMemo buffer;
    buffer.SetText("server_name=Realm;\r\nwebsite_url=W;");
    EXPECT_EQ(pc::LookupConfigValue(buffer, "server_name"), "Realm");
    EXPECT_EQ(buffer.Text(), "website_url=W;");
    EXPECT_EQ(pc::LookupConfigValue(buffer, "website_url"), "W;");
    EXPECT_EQ(buffer.Text(), "ebsite_url=W;"); // without a line break only the first character goes
    // A missing key still skips its own length from the start of the text.
    EXPECT_EQ(pc::LookupConfigValue(buffer, "absent"), "_url=W;");
}

TEST(FindDefaultBrowser, QuotedAndBareCommands) {
    struct Case {
        std::optional<std::string> value; // nothing: no key at all
        std::string path;
    } cases[] = {
        {std::string("\"/opt/Web Browser/web\" --url \"%1\"\0", 34), "/opt/Web Browser/web"},
        {std::string("\"/usr/bin/firefox\"\0", 19), "/usr/bin/firefox"},
        {std::string("/usr/bin/firefox %1\0", 20), "/usr/bin/firefox %1"},
        {std::string("\"/usr/bin/firefox\0", 18), ""}, // no closing quote
        {std::string("\"\"\0", 3), ""},
        {std::string(""), ""},
        {std::nullopt, ""},
    };
    for (const auto& c : cases) {
        FakeRegistry registry;
        if (c.value)
            registry.SetValue(RootKey::LocalMachine, kCommandKey, "", RegistryType::String, *c.value);
        EXPECT_EQ(pc::FindDefaultBrowser(registry), c.path) << testing::PrintToString(c.value);
    }
    FakeRegistry expandable;
    expandable.SetValue(RootKey::LocalMachine, kCommandKey, "", RegistryType::ExpandString, "%HOME%/b");
    EXPECT_EQ(pc::FindDefaultBrowser(expandable), "%HOME%/b");
}

} // namespace
