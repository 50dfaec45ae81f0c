#include "launcher/config.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>

namespace {

using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::TempDir;

const std::string kPatchctl = PATCHCTL_PATH;

ProgramResult Patchctl(const std::string& args, const std::string& input = "") {
    return RunProgram("'" + kPatchctl + "' " + args, input);
}

// Values with bytes across the whole range, so that many keys turn some byte into CR, LF or NUL.
const pc::ConfigValues kValues = {
    "Realm \xC4rger (EU) ~ #1",
    "http://news.example/index.html?x=1&y=2",
    "http://patch.example/list.txt",
    "Realm \xE9t\xE9",
    "http://realm.example/",
    "",
    "http://forum.example/\x7F\x80\xFF",
    "bin/game client.exe",
};

std::string PlainText(const pc::ConfigValues& values) {
    std::string plain;
    for (std::size_t i = 0; i < pc::kConfigKeys.size(); ++i)
        plain += std::string(pc::kConfigKeys[i]) + "=" + values[i] + "\n";
    return plain;
}

// Config.ini as the format defines it, made independently of the tool.
std::string Scrambled(unsigned key, const pc::ConfigValues& values) {
    char hex[9]; // room for any unsigned, though keys are bytes
    std::snprintf(hex, sizeof hex, "%02X", key);
    std::string out = hex;
    for (std::size_t i = 0; i < pc::kConfigKeys.size(); ++i)
        for (unsigned char c : std::string(pc::kConfigKeys[i]) + "=" + values[i] + ";\r\n")
            out += static_cast<char>((c + key + 19) % 256);
    return out;
}

TEST(PatchctlConfig, EveryKeyEitherRoundTripsOrIsRefused) {
    TempDir dir;
    const std::string plain = PlainText(kValues);
    int accepted = 0;
    for (unsigned key = 0; key < 256; ++key) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", key);
        // What the launcher itself makes of the file this key gives.
        const std::string expected = Scrambled(key, kValues);
        const bool launcherReadsIt = pc::ReadConfigValues(dir.Write("Config.ini", expected)) == kValues;

        const auto encoded = Patchctl(std::string("config encode --key ") + hex, plain);
        if (!launcherReadsIt) {
            EXPECT_EQ(encoded.exitCode, 2) << hex;
            EXPECT_EQ(encoded.out, "") << hex;
            EXPECT_NE(encoded.err.find("key " + std::string(expected, 0, 2)), std::string::npos)
                << encoded.err;
            continue;
        }
        ++accepted;
        ASSERT_EQ(encoded.exitCode, 0) << hex << ": " << encoded.err;
        EXPECT_EQ(encoded.out, expected) << hex;
        const auto decoded = Patchctl("config decode '" + dir.Write("Config.ini", encoded.out) + "'");
        EXPECT_EQ(decoded.exitCode, 0) << hex;
        EXPECT_EQ(decoded.out, plain) << hex;
    }
    // The text's bytes span the range, yet the shift of 0 (key ED) and others always remain.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 256);
}

TEST(PatchctlConfig, WithoutAKeyPicksOneThatReadsBack) {
    TempDir dir;
    for (int run = 0; run < 20; ++run) {
        const auto encoded = Patchctl("config encode", PlainText(kValues));
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        EXPECT_EQ(pc::ReadConfigValues(dir.Write("Config.ini", encoded.out)), kValues);
    }
}

TEST(PatchctlConfig, EncodeAcceptsAnyOrderCommentsAndCrLf) {
    const std::string input = "# demo server\r\n"
                              "\r\n"
                              "client_exe=game.exe\r\n"
                              "forum_url=F\r\n"
                              "controlpanel_url=C\n"
                              "   \n"
                              "website_url=W\n"
                              "server_name=S\n"
                              "patchlist_url=P=Q\n"
                              "newsfile_url=\n"
                              "client_title=T;x\n";
    const auto encoded = Patchctl("config encode --key ED", input);
    ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
    EXPECT_EQ(encoded.out,
              "ED"
              "client_title=T;x;\r\nnewsfile_url=;\r\npatchlist_url=P=Q;\r\nserver_name=S;\r\n"
              "website_url=W;\r\ncontrolpanel_url=C;\r\nforum_url=F;\r\nclient_exe=game.exe;\r\n");
}

TEST(PatchctlConfig, EncodeRefusesBadInputAndWritesNothing) {
    const std::string good = PlainText(kValues);
    const std::string withoutForum =
        good.substr(0, good.find("forum_url")) + good.substr(good.find("client_exe"));
    struct Case {
        std::string args;
        std::string input;
        std::string message;
    } cases[] = {
        {"", withoutForum, "key 'forum_url' is missing"},
        {"", good + "server_name=again\n", "line 9: key 'server_name' given again (first on line 4)"},
        {"", "client_title=a\rb\n" + good.substr(good.find('\n') + 1),
         "line 1: the value of 'client_title' holds a CR"},
        {"", std::string("client_title=a\0b\n", 17) + good.substr(good.find('\n') + 1),
         "line 1: the value of 'client_title' holds a NUL"},
        {"", "colour=blue\n" + good, "line 1: unknown key 'colour'"},
        {"", "client_title\n" + good, "line 1: expected key=value"},
        {"--key 1", good, "the key must be two hexadecimal digits, not '1'"},
        {"--key 1G", good, "the key must be two hexadecimal digits, not '1G'"},
        {"--key", good, "--key needs a value"},
    };
    for (const auto& c : cases) {
        const auto result = Patchctl("config encode " + c.args, c.input);
        EXPECT_EQ(result.exitCode, 2) << c.message;
        EXPECT_EQ(result.out, "") << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

TEST(PatchctlConfig, DecodeShowsWhatTheLauncherTakes) {
    TempDir dir;
    // A file whose last line lacks CR LF: the value keeps its trailing character, as in the launcher.
    const auto decoded = Patchctl("config decode '" +
                                  dir.Write("Config.ini", "EDclient_title=T;\r\nnewsfile_url=N;\r\n"
                                                          "patchlist_url=P;\r\nserver_name=S;\r\n"
                                                          "website_url=W;\r\ncontrolpanel_url=C;\r\n"
                                                          "forum_url=F;\r\nclient_exe=game.exe;") +
                                  "'");
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.out, "client_title=T\nnewsfile_url=N\npatchlist_url=P\nserver_name=S\n"
                           "website_url=W\ncontrolpanel_url=C\nforum_url=F\nclient_exe=game.exe;\n");
}

TEST(PatchctlConfig, DecodeErrors) {
    TempDir dir;
    auto result = Patchctl("config decode '" + (dir / "Config.ini") + "'");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Essential file missing: " + (dir / "Config.ini") + "\n");

    // Empty and damaged files are named as such, where the launcher would read nonsense or fail on the
    // key's conversion.
    const std::string intact = Scrambled(0xED, kValues);
    struct Case {
        std::string bytes;
        std::string err; // after "patchctl config decode: PATH "
    } cases[] = {
        {"", "is empty: a Config.ini holds its scrambling key and eight values"},
        {"ZZclient_title=T;",
         "is damaged: it does not start with the two hexadecimal digits of its scrambling key"},
        {"E", "is damaged: it does not start with the two hexadecimal digits of its scrambling key"},
        {"ED", "is damaged: line 1 does not hold the value of 'client_title' (the file is cut short, changed "
               "by hand or not made by config encode)"},
        // The right text under another key: every name comes out shifted.
        {"EE" + intact.substr(2), "is damaged: line 1 does not hold the value of 'client_title' (the file is "
                                  "cut short, changed by hand or not made by config encode)"},
        {intact.substr(0, intact.find("\r\n", intact.find("\r\n") + 1) + 2),
         "is damaged: line 3 does not hold the value of 'patchlist_url' (the file is cut short, changed by "
         "hand or not made by config encode)"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Write("Config.ini", c.bytes);
        result = Patchctl("config decode '" + path + "'");
        EXPECT_EQ(result.exitCode, 1) << c.err;
        EXPECT_EQ(result.out, "") << c.err;
        EXPECT_EQ(result.err, "patchctl config decode: " + path + " " + c.err + "\n");
    }

    result = Patchctl("config");
    EXPECT_EQ(result.exitCode, 2);
}

TEST(PatchctlConfig, EncodeTakesBlanksAroundTheEqualsSign) {
    const auto encoded = Patchctl("config encode --key ED", "client_title = T\n"
                                                            "newsfile_url\t=\tN\n"
                                                            "  patchlist_url=P\n"
                                                            "server_name =S \n"
                                                            "website_url= W\n"
                                                            "controlpanel_url =\n"
                                                            "  # comment\n"
                                                            "forum_url=F\n"
                                                            "client_exe=game.exe\n");
    ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
    pc::ConfigValues values = {"T", "N", "P", "S ", "W", "", "F", "game.exe"};
    EXPECT_EQ(encoded.out, Scrambled(0xED, values));

    // An empty key line is called empty.
    const auto empty = Patchctl("config encode", PlainText(kValues) + "patchlist_key = \n");
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_EQ(empty.err, "patchctl config encode: line 9: the value of 'patchlist_key' is empty; leave the "
                         "line out, or give the line that patchctl keygen prints\n");
}

// -o replaces the file through a temporary one: a refused input or a failed write leaves the old file,
// where the shell's redirection would have emptied it before patchctl even started.
TEST(PatchctlConfig, EncodeToAFileKeepsTheOldOneOnFailure) {
    TempDir dir;
    const std::string old = Scrambled(0x5A, kValues);
    const std::string path = dir.Write("Config.ini", old);
    const std::string plain = PlainText(kValues);
    struct Case {
        std::string args;
        std::string input;
        int exitCode;
        std::string err;
    } cases[] = {
        {"-o '" + path + "'", "client_title=T\n", 2,
         "patchctl config encode: key 'newsfile_url' is missing\n"},
        {"--key 1G -o '" + path + "'", plain, 2,
         "patchctl config encode: the key must be two hexadecimal digits, not '1G'\n"
         "usage: patchctl config encode [--key HH] [-o FILE] < PLAIN\n"},
        {"-o '" + (dir / "none/Config.ini") + "'", plain, 1,
         "Cannot create file " + (dir / "none/Config.ini") + ".\n"},
        {"-o '" + dir.Path() + "'", plain, 1, "Cannot create file " + dir.Path() + ".\n"},
    };
    for (const Case& c : cases) {
        const auto result = Patchctl("config encode " + c.args, c.input);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(result.err, c.err) << c.args;
        EXPECT_EQ(ReadFileBytes(path), old) << c.args;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1); // no temporary left

    const auto written = Patchctl("config encode --key ED -o '" + path + "'", plain);
    ASSERT_EQ(written.exitCode, 0) << written.err;
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(ReadFileBytes(path), Scrambled(0xED, kValues));
}

// A P-256 public key as keygen prints it.
const std::string kPublicKey =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEk/HySeXaKW732puLqQSfs7lbmFBaMJqarZy17xSYHGE/"
    "fzdUTe+TDfAvJ2qJc4WLoafqAq6+MuSZUW6rH/OL4g==";

TEST(PatchctlConfig, ThePatchListKeyIsAnOptionalNinthLine) {
    TempDir dir;
    const std::string plain = PlainText(kValues) + "patchlist_key=" + kPublicKey + "\n";
    const auto encoded = Patchctl("config encode --key 5A", plain);
    ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
    // Eight lines as before, each with its CR LF, and the key after them.
    EXPECT_EQ(encoded.out.substr(0, Scrambled(0x5A, kValues).size()), Scrambled(0x5A, kValues));
    const std::string file = dir.Write("Config.ini", encoded.out);
    EXPECT_EQ(pc::ReadConfigValues(file), kValues);
    const pc::ConfigContents contents = pc::ReadConfigContents(file);
    EXPECT_TRUE(contents.hasPatchListKey);
    EXPECT_EQ(contents.patchListKey, kPublicKey);
    const auto decoded = Patchctl("config decode '" + file + "'");
    EXPECT_EQ(decoded.out, plain);

    // Without the line nothing changes, and a ninth line of another name is not the key.
    EXPECT_FALSE(pc::ReadConfigContents(dir.Write("Config.ini", Scrambled(0x5A, kValues))).hasPatchListKey);
    std::string other = "ED";
    for (std::size_t i = 0; i < pc::kConfigKeys.size(); ++i)
        other += std::string(pc::kConfigKeys[i]) + "=" + kValues[i] + ";\r\n";
    EXPECT_FALSE(pc::ReadConfigContents(dir.Write("Config.ini", other + "server_key=" + kPublicKey + ";"))
                     .hasPatchListKey);
    // As the launcher reads lines, a last line without CR LF keeps its trailing character.
    const auto last =
        pc::ReadConfigContents(dir.Write("Config.ini", other + "patchlist_key=" + kPublicKey + ";"));
    EXPECT_TRUE(last.hasPatchListKey);
    EXPECT_EQ(last.patchListKey, kPublicKey + ";");

    const struct { std::string value; } refused[] = {{"not base64!"}, {kPublicKey.substr(4)}, {"AAAA"}};
    for (const auto& r : refused) {
        const auto result = Patchctl("config encode", PlainText(kValues) + "patchlist_key=" + r.value + "\n");
        EXPECT_EQ(result.exitCode, 2) << r.value;
        EXPECT_EQ(result.err,
                  "patchctl config encode: line 9: the value of 'patchlist_key' is not a P-256 public "
                  "key in base64 (patchctl keygen prints the line)\n")
            << r.value;
    }
}

// Mirrors of the list follow the eight values and the optional key, any number of them, in order; a reader of
// eight lines sees the same file as before.
TEST(PatchctlConfig, ListMirrorsFollowTheValuesAndTheKeyInOrder) {
    TempDir dir;
    const std::vector<std::string> mirrors = {"http://mirror-1.example/list.txt",
                                              "https://mirror-2.example/l.txt"};
    for (const bool withKey : {false, true}) {
        SCOPED_TRACE(withKey);
        std::string plain = PlainText(kValues);
        if (withKey)
            plain += "patchlist_key=" + kPublicKey + "\n";
        for (const std::string& mirror : mirrors)
            plain += "patchlist_mirror=" + mirror + "\n";
        // Given before the values, the mirrors are still written after them.
        const auto encoded = Patchctl("config encode --key 5A", "patchlist_mirror = " + mirrors[0] + " \n" +
                                                                    plain.substr(plain.find('\n') + 1) +
                                                                    plain.substr(0, plain.find('\n') + 1));
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        EXPECT_EQ(encoded.out.substr(0, Scrambled(0x5A, kValues).size()), Scrambled(0x5A, kValues));
        const std::string file = dir.Write("Config.ini", encoded.out);
        EXPECT_EQ(pc::ReadConfigValues(file), kValues);
        const pc::ConfigContents contents = pc::ReadConfigContents(file);
        EXPECT_EQ(contents.hasPatchListKey, withKey);
        EXPECT_EQ(contents.patchListMirrors, (std::vector<std::string>{mirrors[0], mirrors[0], mirrors[1]}));
        const auto decoded = Patchctl("config decode '" + file + "'");
        EXPECT_EQ(decoded.out, plain.substr(0, plain.find("patchlist_mirror")) + "patchlist_mirror=" +
                                   mirrors[0] + "\n" + plain.substr(plain.find("patchlist_mirror")));
    }
    for (const char* value : {"", "ftp://mirror.example/list.txt", "list.txt"}) {
        const auto result =
            Patchctl("config encode", PlainText(kValues) + "patchlist_mirror=" + value + "\n");
        EXPECT_EQ(result.exitCode, 2) << value;
        EXPECT_EQ(
            result.err,
            "patchctl config encode: line 9: the value of 'patchlist_mirror' is not an http or https URL\n")
            << value;
    }
}

} // namespace
