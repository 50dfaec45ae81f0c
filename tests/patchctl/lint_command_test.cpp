// patchctl lint, run as a program on patch lists written by the test.
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using pc::test::TempDir;

pc::test::ProgramResult Lint(const std::string& file) {
    return pc::test::RunProgram("'" PATCHCTL_PATH "' lint '" + file + "'");
}

TEST(PatchctlLint, ReportsEveryProblemWithItsLine) {
    TempDir dir;
    const std::string list = dir.Write("list.txt", "// comment, skipped\r\n"
                                                   "\r\n"
                                                   "1\thttp://h/p1.zip\t100\t\t0\t\r\n"
                                                   "two\thttp://h/p2.zip\t\t\t0\t\r\n"
                                                   "1\thttp://h/\t-5\t\t0\t\r\n"
                                                   "3\thttp://h/p3.zip\t10\t\t0\r\n"
                                                   " /4\thttp://h/..\t10\t\t0\tignored after\r\n"
                                                   "5\thttp://h/p5.zip\t$10\tsetup.sh\t7\t\n"
                                                   "6\thttp://h/p6.zip\t0x10\t\t7\t\r");
    const auto r = Lint(list);
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = list + ":";
    EXPECT_EQ(r.out,
              at + "4: id field: 'two' is not a valid integer value\n" +    //
                  at + "4: size field: '' is not a valid integer value\n" + //
                  at + "5: id 1 is listed twice (first on line 3)\n" +      //
                  at + "5: URL without a last segment to store the archive under: 'http://h/'\n" + at +
                  "5: negative size -5: the launcher's update run stops at this row\n" + at +
                  "6: fewer than five TABs (4): the missing fields are read as empty\n" + at +
                  "6: group field: '' is not a valid integer value\n" + at +
                  "7: id field: ' /4' is not a valid integer value\n" + at +
                  "7: URL whose last segment '..' cannot name a file\n" + at +
                  "7: info: text after the fifth TAB is not a SHA-256 and is ignored: 'ignored after'\n" +
                  at +
                  "8: info: patch 5 of group 7 is superseded by patch 6 (line 9) and is never "
                  "downloaded\n" +
                  list + ": 7 rows, 9 problems\n");
    EXPECT_EQ(r.err, "");
}

// The sixth field: a SHA-256 in either case is clean; text that is nearly one is a problem, since the
// launcher would not check that archive; any other note is information.
TEST(PatchctlLint, SixthField) {
    const std::string digest(64, 'a');
    struct Case {
        std::string sixth;
        std::string report; // after "FILE:1: ", empty for a clean row
    } cases[] = {
        {digest, ""},
        {"ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789\tnote", ""},
        {digest.substr(0, 63),
         "sixth field is not a valid SHA-256 (63 characters, 63 of them hexadecimal; 64 hexadecimal digits "
         "expected): the archive is not checked"},
        {digest + "0",
         "sixth field is not a valid SHA-256 (65 characters, 65 of them hexadecimal; 64 hexadecimal digits "
         "expected): the archive is not checked"},
        {digest.substr(0, 63) + "g",
         "sixth field is not a valid SHA-256 (64 characters, 63 of them hexadecimal; 64 hexadecimal digits "
         "expected): the archive is not checked"},
        {"built 2024-03-05 by ops", "info: text after the fifth TAB is not a SHA-256 and is ignored: 'built "
                                    "2024-03-05 by ops'"},
        {"", ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string list = dir.Write("list.txt", "1\thttp://h/p1.zip\t100\t\t0\t" + c.sixth + "\r\n");
        const auto r = Lint(list);
        const bool problem = c.report.rfind("sixth", 0) == 0;
        EXPECT_EQ(r.exitCode, problem ? 1 : 0) << c.sixth;
        EXPECT_EQ(r.out, (c.report.empty() ? "" : list + ":1: " + c.report + "\n") + list + ": 1 row, " +
                             (problem ? "1 problem" : "0 problems") + "\n")
            << c.sixth;
    }
}

// A program field the launcher refuses to run: absolute, on a drive, or leaving the installation by "..".
TEST(PatchctlLint, ProgramFieldsOutsideTheInstallation) {
    struct Case {
        const char* run;
        bool reported;
    } cases[] = {
        {"setup.sh", false},
        {"tools\\setup.sh -q", false},
        {"../outside.sh", true},
        {"My Tools/../../x.sh", true}, // the launcher tries it whole when "My" is no file
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string list =
            dir.Write("list.txt", std::string("1\thttp://h/p1.zip\t100\t") + c.run + "\t0\t\r\n");
        const auto r = Lint(list);
        EXPECT_EQ(r.exitCode, c.reported ? 1 : 0) << c.run;
        EXPECT_EQ(r.out, (c.reported ? list + ":1: program field '" + c.run +
                                           "' names a program outside the installation: the launcher does "
                                           "not run it\n"
                                     : std::string()) +
                             list + ": 1 row, " + (c.reported ? "1 problem" : "0 problems") + "\n")
            << c.run;
    }
}

TEST(PatchctlLint, CleanListAndFilesItCannotRead) {
    TempDir dir;
    const std::string clean = dir.Write("clean.txt", "10\thttp://h/a.zip\t5\t\t0\t\r\n");
    const auto ok = Lint(clean);
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.out, clean + ": 1 row, 0 problems\n");

    const auto missing = Lint(dir / "none.txt");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "Cannot open file " + (dir / "none.txt") + ".\n");
}

TEST(PatchctlLint, RowsBeyondTheTableAreReportedOnce) {
    TempDir dir;
    std::string text;
    for (int id = 1; id <= 65538; ++id)
        text += std::to_string(id) + "\thttp://h/p.zip\t1\t\t0\t\n";
    const std::string list = dir.Write("long.txt", text);
    const auto r = Lint(list);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, list + ":65537: more than 65536 rows: the launcher refuses the whole list\n" + list +
                         ": 65538 rows, 1 problem\n");
}

// Mistakes whose symptoms would hide their cause: each is named once, the symptoms it brings are not
// listed, and what else is wrong still is.
TEST(PatchctlLint, NamesTheCauseOfCommonMistakes) {
    const std::string bom =
        "the file starts with a UTF-8 byte-order mark (bytes EF BB BF, which Notepad writes): "
        "the launcher reads them as part of the first line; save the list without it";
    const std::string html =
        "this is an HTML page, not a patch list: check the list's URL (a server answers a "
        "wrong address or a login with a page)";
    const std::string blanks =
        "blanks where TABs belong: the fields are separated by blanks, but the launcher "
        "splits a row at TABs only (";
    const std::string tail = " TABs; an editor may have turned them into spaces)";
    struct Case {
        std::string what;
        std::string list;
        std::string report; // LINE stands for "FILE:"
    } cases[] = {
        {"mark before a row",
         "\xEF\xBB\xBF"
         "1\thttp://h/p1.zip\t5\t\t0\t\r\n",
         "LINE1: " + bom + "\n"},
        {"mark before a comment", "\xEF\xBB\xBF// realm\r\n1\thttp://h/p1.zip\t5\t\t0\t\r\n",
         "LINE1: " + bom + "\n"},
        {"mark and a real problem",
         "\xEF\xBB\xBF"
         "x\thttp://h/p1.zip\t5\t\t0\t\r\n",
         "LINE1: " + bom + "\nLINE1: id field: 'x' is not a valid integer value\n"},
        {"HTML page", "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head></html>\n",
         "LINE1: " + html + "\n"},
        {"HTML page after a mark and blanks", "\xEF\xBB\xBF\r\n  <HTML>\n<BODY>Login</BODY>\n",
         "LINE1: " + bom + "\nLINE1: " + html + "\n"},
        {"blanks", "1    http://h/p1.zip    100        0\r\n2 http://h/p2.zip 100 setup.exe 0\r\n",
         "LINE1: " + blanks + "0" + tail + "\nLINE2: " + blanks + "0" + tail + "\n"},
        {"blanks after some TABs", "1\thttp://h/p1.zip\t100 setup.exe 0\r\n",
         "LINE1: " + blanks + "2" + tail + "\n"},
        // A blank inside a field is no such mistake: the missing TAB is reported as it is.
        {"blank inside the program field", "3\thttp://h/p3.zip\t100\tsetup.exe /s\t0\r\n",
         "LINE1: fewer than five TABs (4): the missing fields are read as empty\n"
         "LINE1: group field: '' is not a valid integer value\n"},
        {"a comment that starts with '<'", "1\thttp://h/p1.zip\t5\t\t0\t\r\n// <html> not a page\r\n", ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string list = dir.Write("list.txt", c.list);
        const auto r = Lint(list);
        std::string report = c.report;
        for (auto at = report.find("LINE"); at != std::string::npos; at = report.find("LINE", at))
            report.replace(at, 4, list + ":");
        const auto problems = std::count(c.report.begin(), c.report.end(), '\n');
        const auto rows = std::count(c.list.begin(), c.list.end(), '\n') -
                          (c.what.find("comment") != std::string::npos ? 1 : 0);
        EXPECT_EQ(r.exitCode, problems == 0 ? 0 : 1) << c.what;
        EXPECT_EQ(r.out, report + list + ": " + std::to_string(rows) + (rows == 1 ? " row, " : " rows, ") +
                             std::to_string(problems) + (problems == 1 ? " problem\n" : " problems\n"))
            << c.what;
    }
}

// Mirror lines: each usable, each prefix once; one that covers no row is information. A line that only
// starts like one is a comment like any other.
TEST(PatchctlLint, MirrorLines) {
    TempDir dir;
    const std::string list = dir.Write("list.txt", "//mirror http://h/ http://m1/ https://m2/x/\r\n"
                                                   "//mirror http://h/\r\n"
                                                   "//mirror http://h/ ftp://m3/\r\n"
                                                   "//mirror http://h/ http://m4/\r\n"
                                                   "//mirror http://other/ http://m5/\r\n"
                                                   "//mirrors are listed above\r\n"
                                                   "1\thttp://h/p1.zip\t100\t\t0\t\r\n");
    const auto r = Lint(list);
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = list + ":";
    EXPECT_EQ(r.out,
              at +
                  "2: a mirror line needs a URL prefix and at least one alternative: launchers skip this "
                  "mirror line\n" +
                  at + "3: not an http or https URL: ftp://m3/: launchers skip this mirror line\n" + at +
                  "4: mirror prefix http://h/ given twice (first on line 1): launchers use the first line "
                  "only\n" +
                  at + "5: info: mirror prefix http://other/ covers no row of this list\n" + list +
                  ": 1 row, 3 problems\n");
}

} // namespace

TEST(PatchctlLint, UrlsNamingTheLaunchersOwnFiles) {
    struct Case {
        const char* url;
        bool named;
    } cases[] = {
        {"http://h/Config.ini", true},        {"http://h/x/CONFIG.INI", true},
        {"http://h/tqm_patch.ini", true},     {"http://h/Tmp_PatchList.INI", true},
        {"http://h/patch-client", true},      {"http://h/Patch-Client", true},
        {"http://h/Config.ini.zip", false},   {"http://h/config.ini/p.zip", false},
        {"http://h/patch-client.zip", false}, {"http://h/p.zip?Config.ini", false},
        {"http://h/TQM_Serial.ini", true},    {"http://h/.tqm_lock", true},
        {"http://h/.TQM_Lock", true},         {"http://h/tqm_lock", false},
        {"http://h/patch-client.exe", true},
    };
    // The last of them is stored as p.zip here (see UrlsStoredUnderAnotherNameAreInformation).
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string list = dir.Write("list.txt", std::string("1\t") + c.url + "\t5\t\t0\t\r\n");
        const auto r = Lint(list);
        const std::string segment = std::string(c.url).substr(std::string(c.url).rfind('/') + 1);
        if (c.named) {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.out,
                      list + ":1: URL whose last segment '" + segment +
                          "' names one of the launcher's own files: a launcher that stores the archive "
                          "under that name overwrites and then deletes it\n" +
                          list + ": 1 row, 1 problem\n");
        } else {
            EXPECT_EQ(r.exitCode, 0);
            const std::string summary = list + ": 1 row, 0 problems\n";
            ASSERT_GE(r.out.size(), summary.size());
            EXPECT_EQ(r.out.substr(r.out.size() - summary.size()), summary);
        }
    }
}

// This launcher stores archives under safe names; where that differs from the URL's last segment, lint
// says so, since a launcher of the original kind stores (or fails to store) the segment as it is.
TEST(PatchctlLint, UrlsStoredUnderAnotherNameAreInformation) {
    const std::string longSegment = "p3-" + std::string(250, 'x') + ".zip";
    const std::string longStored = "p3-" + std::string(72, 'x') + "~";
    TempDir dir;
    const std::string list = dir.Write("list.txt", "1\thttp://h/p1.zip?v=2\t5\t\t0\t\r\n"
                                                   "2\thttp://h/a\\..\\p2.zip\t5\t\t0\t\r\n"
                                                   "3\thttp://h/" +
                                                       longSegment +
                                                       "\t5\t\t0\t\r\n"
                                                       "4\thttp://h/p4.zip\t5\t\t0\t\r\n");
    const auto r = Lint(list);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    const std::string at = list + ":";
    EXPECT_EQ(r.out.substr(0, r.out.find("'p3-")),
              at + "1: info: URL whose last segment 'p1.zip?v=2' is stored as 'p1.zip'\n" + at +
                  "2: info: URL whose last segment 'a\\..\\p2.zip' is stored as 'a_.._p2.zip'\n" + at +
                  "3: info: URL whose last segment ");
    EXPECT_NE(r.out.find("' is stored as '" + longStored), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.rfind(".zip'\n") + 6), list + ": 4 rows, 0 problems\n");
}
