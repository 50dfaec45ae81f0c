// Which names are the launcher's own files, which no patch writes, replaces or removes.
#include "launcher/install/own_files.h"

#include <gtest/gtest.h>

namespace {

TEST(OwnFiles, NamesAsTheFileSystemTakesThem) {
    const struct {
        const char* name;
        bool own;
    } cases[] = {
        {"tqm_patch.ini", true},       {"TQM_Serial.INI", true},  // Windows ignores letter case
        {"config.ini.", true},                                    // and strips trailing dots and blanks
        {"Config.ini .", true},        {"./tqm_patch.ini", true}, // "." names the folder it is in
        {".\\.tqm_lock", true},        {"tmp_PatchList.ini", true},
        {"patch-client.exe", true},    {"patch-client", true},
        {"tqm_download/p1.zip", true}, // anything in the launcher's folders
        {"TQM_RESUME\\p1.zip", true},  {"tqm_download", true},
        {"sub/tqm_patch.ini", false}, // only at the top of the installation
        {"tqm_patch.ini.bak", false},  {"tqm_downloads/p1.zip", false},
        {"game.exe", false},           {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::IsLauncherOwnFile(c.name), c.own) << c.name;
    EXPECT_TRUE(pc::IsLauncherOwnFile("My Launcher.EXE", "my launcher.exe")) << "the running launcher's name";
}

} // namespace
