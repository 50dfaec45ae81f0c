// The names patch archives are stored under: safe on both editions' file systems whatever the URL, the
// display name in the log untouched. Each name is also made in a scratch installation, so the Windows
// edition's run under Wine shows that its file system takes them.
#include "launcher/update_run.h"

#include "framework/code_pages.h"
#include "framework/helpers.h"
#include "framework/output_file.h"
#include "launcher/install/installation.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using pc::test::TempDir;

bool IsLowerHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Makes the stored archive of `url` in the installation `dir` and says whether it is there afterwards,
// inside the installation.
bool Storable(const TempDir& dir, const std::string& url) {
    const std::string path = pc::StoredArchivePath(dir.Path(), url);
    pc::EnsureFolderOf(path);
    pc::TOutputFile file;
    pc::CreateOutputFile(file, path);
    pc::WriteOutputBytes(file, "PK", 2);
    pc::CloseOutputFile(file);
    const bool inside =
        pc::IsExistingFile(path) &&
        std::filesystem::exists(dir / (std::string(pc::kStoredArchivePrefix) + pc::StoredArchiveName(url)));
    pc::RemoveFile(path);
    return inside;
}

TEST(StoredArchiveName, OrdinaryNamesStayAndOthersBecomeSafe) {
    struct Case {
        std::string url;
        std::string stored;
        std::string shown; // the name the log shows, as it always did
    };
    const Case cases[] = {
        {"http://host/patches/p0042.gpf.zip", "p0042.gpf.zip", "p0042"},
        {"http://host/p15.zip?v=2", "p15.zip", "p15"},
        {"http://host/p15.zip#part", "p15.zip", "p15"},
        {"http://host/p15.zip?a=1#b?c", "p15.zip", "p15"},
        {"http://host/get?file=dir/a.zip", "get", "a"}, // the query goes before the name is taken
        {"http://host/..\\..\\evil.zip", ".._.._evil.zip", ""},
        {"http://host/a\\b.zip", "a_b.zip", "a\\b"},
        {"http://host/..", "__", ""},
        {"http://host/.", "_", ""},
        {"http://host/p1.zip.", "p1.zip_", "p1"},
        {"http://host/p1.zip ", "p1.zip_", "p1"},
        {"http://host/a:b*c<d>e|f\"g.zip", "a_b_c_d_e_f_g.zip", "a:b*c<d>e|f\"g"},
        {"http://host/tab\there.zip", "tab_here.zip", "tab\there"},
        {"http://host/NUL.zip", "_NUL.zip", "NUL"},
        {"http://host/com7", "_com7", "com7"},
        {"http://host/lpt1.tar.zip", "_lpt1.tar.zip", "lpt1"},
        {"http://host/console.zip", "console.zip", "console"},
        {"http://host/com0.zip", "com0.zip", "com0"},
        {"http://host/caf\xC3\xA9.zip", "caf\xC3\xA9.zip", "caf\xC3\xA9"},
    };
    TempDir install;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(pc::StoredArchiveName(c.url), c.stored);
        EXPECT_EQ(pc::ArchiveDisplayName(c.url), c.shown);
        EXPECT_TRUE(Storable(install, c.url));
    }
}

// Long names (signed CDN links) and URLs without a name keep a digest of the whole URL, so that two
// URLs never share a stored archive by being cut alike.
TEST(StoredArchiveName, LongAndEmptyNamesKeepADigestOfTheWholeUrl) {
    const std::string token(240, 't');
    const std::string longSegment = "p0042-" + token + ".zip"; // 250 bytes
    const std::string umlauts = [] {
        std::string text;
        for (int i = 0; i < 120; ++i)
            text += "\xC3\xBC"; // u with diaeresis, two bytes each
        return text;
    }();
    struct Case {
        std::string url;
        std::string head;      // the readable start that stays
        std::string extension; // kept at the end
    };
    const Case cases[] = {
        {"https://cdn.example/" + longSegment, "p0042-ttt", ".zip"},
        {"https://cdn.example/" + longSegment + "?sig=" + token, "p0042-ttt", ".zip"},
        {"https://cdn.example/" + umlauts + ".zip", "\xC3\xBC\xC3\xBC", ".zip"},
        {"https://cdn.example/" + token, "ttt", ""},
        {"https://cdn.example/patches/", "patch", ""},
        {"https://cdn.example/?file=p1.zip", "patch", ""},
    };
    TempDir install;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 60));
        const std::string name = pc::StoredArchiveName(c.url);
        EXPECT_LE(name.size(), pc::kMaxStoredNameBytes);
        EXPECT_EQ(name.rfind(c.head, 0), 0u) << name;
        ASSERT_GE(name.size(), c.extension.size() + 17);
        EXPECT_EQ(name.substr(name.size() - c.extension.size()), c.extension);
        const std::string digest = name.substr(name.size() - c.extension.size() - 17, 17);
        EXPECT_EQ(digest[0], '~') << name;
        EXPECT_TRUE(IsLowerHex(digest.substr(1))) << name;
        // No letter is cut in half: the head is whole UTF-8.
        const std::string head = name.substr(0, name.size() - c.extension.size() - 17);
        EXPECT_TRUE(pc::IsValidUtf8(head)) << name;
        EXPECT_TRUE(Storable(install, c.url));
    }
    // The same URL always gives the same name (a later start continues it); another URL another one.
    const std::string a = "https://cdn.example/" + longSegment + "?sig=1";
    const std::string b = "https://cdn.example/" + longSegment + "?sig=2";
    EXPECT_EQ(pc::StoredArchiveName(a), pc::StoredArchiveName(a));
    EXPECT_NE(pc::StoredArchiveName(a), pc::StoredArchiveName(b));
    EXPECT_NE(pc::StoredArchiveName("https://a.example/"), pc::StoredArchiveName("https://b.example/"));
}

} // namespace
