// The client manifest's text both ways, the patch list's line that names it, and the archive's URL.
#include "archive/extract_names.h"
#include "framework/code_pages.h"
#include "launcher/list/client_manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pc::EClientManifestError;
using pc::ParseClientManifest;

const std::string kShaA(64, 'a');
const std::string kShaB = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
const std::string kHead = "//client-manifest 1\n//archive client.zip " + kShaB + "\n";

TEST(ClientManifest, ReadsWhatItWrites) {
    pc::TClientManifest manifest;
    manifest.archiveName = "client-1.2+b.zip";
    manifest.archiveSha256 = kShaB;
    manifest.files = {
        {kShaA, 0, 0644, "Data/empty.dat"},
        {kShaB, 9223372036854775807LL, 0755, "Data/x-y"}, // '-' sorts before '/'
        {kShaA, 12, 04711, "Data/x/with blanks  "},
        {kShaA, 1, 0, "\xc3\xa9t\xc3\xa9/caf\xc3\xa9.txt"},
    };
    const std::string text = pc::FormatClientManifest(manifest);
    EXPECT_EQ(text, "//client-manifest 1\n//archive client-1.2+b.zip " + kShaB + "\n" + kShaA +
                        " 0 0644 Data/empty.dat\n" + kShaB + " 9223372036854775807 0755 Data/x-y\n" + kShaA +
                        " 12 4711 Data/x/with blanks  \n" + kShaA +
                        " 1 0000 \xc3\xa9t\xc3\xa9/caf\xc3\xa9.txt\n");
    const pc::TClientManifest read = ParseClientManifest(text);
    EXPECT_EQ(read.archiveName, manifest.archiveName);
    EXPECT_EQ(read.archiveSha256, manifest.archiveSha256);
    ASSERT_EQ(read.files.size(), manifest.files.size());
    for (std::size_t i = 0; i < read.files.size(); ++i) {
        EXPECT_EQ(read.files[i].sha256, manifest.files[i].sha256) << i;
        EXPECT_EQ(read.files[i].size, manifest.files[i].size) << i;
        EXPECT_EQ(read.files[i].mode, manifest.files[i].mode) << i;
        EXPECT_EQ(read.files[i].name, manifest.files[i].name) << i;
    }
    EXPECT_TRUE(ParseClientManifest(kHead).files.empty());
}

TEST(ClientManifest, RefusesWithTheLineNamed) {
    const std::string ok = kShaA + " 1 0644 ";
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {"", "client manifest line 1: the manifest is empty"},
        {"//client-manifest 1\n", "client manifest line 2: the manifest ends after its first line"},
        {"//client-manifest 2\n",
         "client manifest line 1: the manifest is not of version 1, the one this program reads"},
        {"//client-manifest 1 \n",
         "client manifest line 1: the manifest is not of version 1, the one this program reads"},
        {"//client-manifest\n",
         "client manifest line 1: the manifest is not of version 1, the one this program reads"},
        {"\xef\xbb\xbf//client-manifest 1\n",
         "client manifest line 1: not a client manifest (its first line must be \"//client-manifest 1\")"},
        {"<html>\n", "client manifest line 1: not a client manifest (its first line must be "
                     "\"//client-manifest 1\")"},
        {"//client-manifest 1\r\n", "client manifest line 1: the line ends with CR LF; a client manifest has "
                                    "LF line ends"},
        {"//client-manifest 1",
         "client manifest line 1: the line has no line end (the manifest is cut short)"},
        {"//client-manifest 1\n//archive client.zip\n",
         "client manifest line 2: expected \"//archive NAME SHA256\""},
        {"//client-manifest 1\n" + kShaA + " 1 0644 a\n",
         "client manifest line 2: expected \"//archive NAME SHA256\""},
        {"//client-manifest 1\n//archive ../x.zip " + kShaA + "\n",
         "client manifest line 2: the archive's name is not a plain file name (letters, digits, '.', '_', "
         "'-', "
         "'+')"},
        {"//client-manifest 1\n//archive .zip " + kShaA + "\n",
         "client manifest line 2: the archive's name is not a plain file name (letters, digits, '.', '_', "
         "'-', "
         "'+')"},
        {"//client-manifest 1\n//archive c.zip " + std::string(64, 'A') + "\n",
         "client manifest line 2: the archive's SHA-256 is not 64 lower-case hexadecimal digits"},
        {"//client-manifest 1\n//archive c.zip " + kShaA + " \n",
         "client manifest line 2: the archive's SHA-256 is not 64 lower-case hexadecimal digits"},
        {kHead + ok + "a", "client manifest line 3: the line has no line end (the manifest is cut short)"},
        {kHead + "\n", "client manifest line 3: the line is empty"},
        {kHead + ok + "a\n\n", "client manifest line 4: the line is empty"},
        {kHead + kShaA + " 1 0644\n", "client manifest line 3: expected \"SHA256 SIZE MODE NAME\""},
        {kHead + kShaA + "\t1 0644 a\n", "client manifest line 3: expected \"SHA256 SIZE MODE NAME\""},
        {kHead + kShaA.substr(1) + " 1 0644 a\n",
         "client manifest line 3: the SHA-256 is not 64 lower-case hexadecimal digits"},
        {kHead + "G" + kShaA.substr(1) + " 1 0644 a\n",
         "client manifest line 3: the SHA-256 is not 64 lower-case hexadecimal digits"},
        {kHead + kShaA + " -1 0644 a\n", "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " +1 0644 a\n", "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " -0 0644 a\n", "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " 01 0644 a\n", "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " 1x 0644 a\n", "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + "  1 0644 a\n", "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " 9223372036854775808 0644 a\n",
         "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " 99999999999999999999 0644 a\n",
         "client manifest line 3: the size is not a decimal number of bytes"},
        {kHead + kShaA + " 1 644 a\n", "client manifest line 3: the mode is not four octal digits"},
        {kHead + kShaA + " 1 0648 a\n", "client manifest line 3: the mode is not four octal digits"},
        {kHead + kShaA + " 1 00644 a\n", "client manifest line 3: the mode is not four octal digits"},
        {kHead + ok + "\n", "client manifest line 3: the name is empty"},
        {kHead + ok + "/etc/passwd\n", "client manifest line 3: the name is absolute"},
        {kHead + ok + "C:/x\n", "client manifest line 3: the name starts with a drive"},
        {kHead + ok + "c:x\n", "client manifest line 3: the name starts with a drive"},
        {kHead + ok + "a\\b\n", "client manifest line 3: the name holds a backslash"},
        {kHead + ok + "game.exe:payload\n", "client manifest line 3: the name holds a colon"},
        {kHead + ok + "../x\n", "client manifest line 3: the name holds a \"..\" part"},
        {kHead + ok + "a/../../x\n", "client manifest line 3: the name holds a \"..\" part"},
        {kHead + ok + "a/..\n", "client manifest line 3: the name holds a \"..\" part"},
        {kHead + ok + "./a\n", "client manifest line 3: the name holds a \".\" part"},
        {kHead + ok + "a//b\n", "client manifest line 3: the name holds an empty part"},
        {kHead + ok + "a/\n", "client manifest line 3: the name holds an empty part"},
        {kHead + ok + "a\tb\n", "client manifest line 3: the name holds a control character"},
        {kHead + ok + std::string("a\0b", 3) + "\n",
         "client manifest line 3: the name holds a control character"},
        {kHead + ok + "a\r\n", "client manifest line 3: the line ends with CR LF; a client manifest has LF "
                               "line ends"},
        {kHead + ok + "\xc3\n", "client manifest line 3: the name is not valid UTF-8"},
        {kHead + ok + "\xc0\xaf\n", "client manifest line 3: the name is not valid UTF-8"}, // an overlong '/'
        {kHead + ok + "b\n" + ok + "b\n", "client manifest line 4: the name was given before, on line 3"},
        {kHead + ok + "b\n" + ok + "a\n",
         "client manifest line 4: the name is out of order (names are sorted by their bytes)"},
        {kHead + ok + "B\n" + ok + "a\n" + ok + "A\n",
         "client manifest line 5: the name is out of order (names are sorted by their bytes)"},
        {kHead + ok + "a\n" + ok + "a-b\n" + ok + "a/b\n",
         "client manifest line 5: the name lies in a folder that line 3 names as a file"},
        {kHead + ok + "d/a\n" + ok + "d/a/b/c\n",
         "client manifest line 4: the name lies in a folder that line 3 names as a file"},
    };
    for (const Case& c : cases) {
        try {
            ParseClientManifest(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const EClientManifestError& e) {
            EXPECT_EQ(e.Message(), c.message) << c.text;
        }
    }
}

TEST(ClientManifest, FolderAndFileNamesThatOnlyShareAPrefix) {
    const std::string ok = kShaA + " 1 0644 ";
    const auto manifest = ParseClientManifest(kHead + ok + "a\n" + ok + "a.b/c\n" + ok + "ab/c\n");
    ASSERT_EQ(manifest.files.size(), 3u);
    EXPECT_EQ(manifest.files[2].name, "ab/c");
}

TEST(ClientManifestListLine, FormAndValue) {
    struct Case {
        std::string line;
        bool word;
        bool wellFormed;
    } cases[] = {
        {"//client https://h/c/client.manifest " + kShaB, true, true},
        {"//client http://h/c?x=1 " + kShaB, true, true},
        {"//client https://h/m " + kShaB + " 42", true, true},
        {"//client https://h/m " + kShaB + " -3", true, true},
        {"//client https://h/m " + kShaB + " 2147483648", true, false},
        {"//client https://h/m " + kShaB + " 4x", true, false},
        {"//client https://h/m " + kShaB + " +4", true, false},
        {"//client https://h/m " + kShaB + " 4 ", true, false},
        {"//client https://h/client.manifest " + std::string(64, 'A'), true, false},
        {"//client https://h/client.manifest " + kShaB + " ", true, false},
        {"//client  https://h/client.manifest " + kShaB, true, false},
        {"//client https://h/a b.manifest " + kShaB, true, false},
        {"//client\thttps://h/m " + kShaB, true, false},
        {"//client " + kShaB, true, false},
        {"//client", true, false},
        {"//clients https://h/m " + kShaB, false, false},
        {"/client https://h/m " + kShaB, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pc::IsClientLineWord(c.line), c.word) << c.line;
        const auto parsed = pc::ParseClientLine(c.line);
        ASSERT_EQ(parsed.has_value(), c.wellFormed) << c.line;
        if (parsed) {
            EXPECT_EQ(pc::ClientLineText(*parsed), c.line);
        }
    }
}

TEST(ClientManifestListLine, OneWellFormedLinePerList) {
    const std::string line = "//client https://h/client.manifest " + kShaB;
    const std::string row = "1\thttps://h/p1.zip\t10\t\t0\t\r\n";
    struct Case {
        std::string list;
        bool found;
        const char* problem;
    } cases[] = {
        {row + line + "\r\n" + row, true, ""},
        {line, true, ""},
        {row, false, ""},
        {line + "\n" + line + "\n", false, "it has more than one client line"},
        {"//client https://h/m " + kShaB.substr(1) + "\n", false,
         "its client line is not of the form '//client URL SHA256 PATCH' (the SHA-256 in 64 lower-case "
         "hexadecimal digits, PATCH the id of the last patch the snapshot holds)"},
        {std::string("\0", 1) + line, false, ""}, // the first NUL ends the list
    };
    for (const Case& c : cases) {
        const pc::TClientReference reference = pc::ReadClientReference(c.list);
        EXPECT_EQ(reference.problem, c.problem) << c.list;
        ASSERT_EQ(reference.line.has_value(), c.found) << c.list;
        if (reference.line) {
            EXPECT_EQ(reference.line->url, "https://h/client.manifest");
            EXPECT_EQ(reference.line->sha256, kShaB);
        }
    }
}

TEST(ClientManifestListLine, ArchiveBesideTheManifest) {
    struct Case {
        const char* manifestUrl;
        const char* archiveUrl;
    } cases[] = {
        {"https://h/game/client.manifest", "https://h/game/client.zip"},
        {"https://h/game/client.manifest?v=7#top", "https://h/game/client.zip"},
        {"https://h/game/", "https://h/game/client.zip"},
        {"https://h", "https://h/client.zip"},
        {"https://h/m?next=/a/b", "https://h/client.zip"},
        {"client.manifest", "client.zip"},
        {"c/client.manifest", "c/client.zip"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pc::ClientArchiveUrl(c.manifestUrl, "client.zip"), c.archiveUrl) << c.manifestUrl;
}

} // namespace

// The manifest's rule for names is stricter than extraction's: every name that extraction refuses to write
// is refused in a manifest too, so a check never plans a file that healing could not place.
TEST(ClientFileNameProblem, RefusesEveryNameThatExtractionRefuses) {
    using namespace std::string_literals;
    for (const std::string& name : {"../x"s, "a/../b"s, "a/.."s, "/abs"s, "\\abs"s, "c:x"s, "a/b:stream"s,
                                    "a//b"s, "a\\..\\b"s, "a\0b"s}) {
        ASSERT_TRUE(pc::IsUnsafeEntryName(pc::Utf8ToWide(name))) << name;
        EXPECT_NE(pc::ClientFileNameProblem(name), "") << name;
    }
}
