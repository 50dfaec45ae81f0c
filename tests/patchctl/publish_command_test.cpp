// patchctl publish, keygen and sign: rows appended to lists as operators keep them, and signatures that
// the openssl tool and patchctl accept from each other.
#include "tests/patchctl/patchctl_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::TempDir;

using pc::test::Sha256Sum;

TEST(PatchctlPublish, AppendsTheRowAndKeepsEveryByte) {
    TempDir dir;
    const std::string archive = dir.Write("p0042.zip", std::string(1234, 'z'));
    const std::string hash = Sha256Sum(archive);
    struct Case {
        const char* what;
        std::string list;
        std::string options;
        std::string joint; // what goes between the old bytes and the row
        std::string row;   // the row after the URL
    } cases[] = {
        {"comments, blank lines, LF and CR ends",
         "// realm patches\r\n\r\n7\thttp://h/p7.zip\t10\t\t0\t\r\n/ "
         "comment\n3\thttp://h/p3.zip\t10\tx.sh\t2\t\r",
         "", "", "\t1234\t\t0\t"},
        {"last line without its line end", "5\thttp://h/p5.zip\t$10\t\t0\t", "", "\r\n", "\t1234\t\t0\t"},
        {"options", "1\thttp://h/p1.zip\t1\t\t0\t\r\n", "--id 42 --group 9 --run setup.sh", "",
         "\t1234\tsetup.sh\t9\t"},
    };
    for (const Case& c : cases) {
        const std::string list = dir.Write("list.txt", c.list);
        const ProgramResult r = Patchctl("publish " + Quoted(list) + " " + Quoted(archive) +
                                         " http://cdn.example/patches/p0042.zip " + c.options);
        ASSERT_EQ(r.exitCode, 0) << c.what << ": " << r.err;
        const std::string id = c.options.empty() ? (c.list[0] == '5' ? "6" : "8") : "42";
        EXPECT_EQ(ReadFileBytes(list),
                  c.list + c.joint + id + "\thttp://cdn.example/patches/p0042.zip" + c.row + hash + "\r\n")
            << c.what;
        EXPECT_EQ(r.out,
                  list + ": patch " + id + " added: http://cdn.example/patches/p0042.zip, 1234 bytes\n")
            << c.what;
        EXPECT_EQ(Patchctl("lint " + Quoted(list)).exitCode, 0) << c.what;
    }

    // The first patch of a server makes the list.
    const ProgramResult first =
        Patchctl("publish " + Quoted(dir / "new.txt") + " " + Quoted(archive) + " http://h/p0042.zip");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(ReadFileBytes(dir / "new.txt"), "1\thttp://h/p0042.zip\t1234\t\t0\t" + hash + "\r\n");
}

TEST(PatchctlPublish, RefusesAndLeavesTheListAlone) {
    TempDir dir;
    const std::string archive = dir.Write("p0042.zip", "zip");
    const std::string good = "1\thttp://h/p1.zip\t1\t\t0\t\r\n";
    const std::string key = dir / "key.pem";
    ASSERT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 0);
    struct Case {
        std::string list;
        std::string args;
        int exitCode;
        std::string err;
    } cases[] = {
        {"1\thttp://h/p1.zip\tten\t\t0\t\r\n", "http://h/p0042.zip", 1,
         "patchctl publish: LIST has problems (above); the list is unchanged\n"},
        {good, "http://h/p0042.zip --id 1", 1,
         "patchctl publish: id 1 is already listed; the list is unchanged\n"},
        {good, "http://h/other.zip", 2,
         "patchctl publish: the URL's last segment 'other.zip' differs from the archive's name 'p0042.zip', "
         "and "
         "the launcher stores the download under the segment (--force to publish anyway)\n"},
        {good, "http://h/p0042.zip --id x", 2, "patchctl publish: --id needs a number, not 'x'\n"},
        {good, "http://h/p0042.zip --run ../escape.sh", 2,
         "patchctl publish: the program '../escape.sh' must lie inside the installation\n"},
        {good, "http://h/p0042.zip --key " + Quoted(dir / "none.pem"), 1,
         "Cannot open file " + (dir / "none.pem") + ".\n"},
        // Signed as it is, the list would be refused by every launcher with the key.
        {"//expires 2020-01-01T00:00:00Z\r\n" + good, "http://h/p0042.zip --key " + Quoted(key), 1,
         "patchctl publish: The list cannot be signed: it expired at 2020-01-01T00:00:00Z, and launchers "
         "refuse it so; sign it with --expires DAYS; the list is unchanged\n"},
        {"//serial 1x\r\n" + good, "http://h/p0042.zip --key " + Quoted(key), 1,
         "patchctl publish: LIST has problems (above); the list is unchanged\n"},
    };
    for (const Case& c : cases) {
        const std::string list = dir.Write("list.txt", c.list);
        const ProgramResult r = Patchctl("publish " + Quoted(list) + " " + Quoted(archive) + " " + c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
        std::string err = c.err;
        if (const auto at = err.find("LIST"); at != std::string::npos)
            err.replace(at, 4, list);
        EXPECT_EQ(r.err.substr(0, r.err.find("usage:")), err) << c.args;
        EXPECT_EQ(ReadFileBytes(list), c.list) << c.args;
    }

    const std::string list = dir.Write("list.txt", good);
    const ProgramResult forced =
        Patchctl("publish " + Quoted(list) + " " + Quoted(archive) + " http://h/x.zip --force");
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
}

// A row for an archive the list already has (by URL or by content) would be applied twice; a signed list
// changed without its key would be refused by every launcher. Neither happens, and --dry-run writes nothing.
TEST(PatchctlPublish, DuplicatesStaleSignaturesAndDryRun) {
    TempDir dir;
    const std::string archive = dir.Write("p0042.zip", std::string(300, 'q'));
    const std::string hash = Sha256Sum(archive);
    const std::string key = dir / "key.pem";
    ASSERT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 0);
    const std::string good = "1\thttp://h/p1.zip\t1\t\t0\t\r\n";
    const std::string row = "2\thttp://h/p0042.zip\t300\t\t0\t" + hash;
    struct Case {
        std::string what;
        std::string list;
        bool signedBefore;
        std::string options;
        int exitCode;
        std::string out; // LIST stands for the list's path
        std::string err;
        bool changed;
    } cases[] = {
        {"same URL", good + "7\thttp://h/p0042.zip\t9\t\t0\t\r\n", false, "", 1, "",
         "patchctl publish: patch 7 already has this URL; installations would apply it twice; the list is "
         "unchanged\n",
         false},
        {"same archive", good + "7\thttp://h/old/p7.zip\t300\t\t0\t" + hash + "\r\n", false, "", 1, "",
         "patchctl publish: patch 7 already has this archive (same SHA-256); installations would apply it "
         "twice; the list is unchanged\n",
         false},
        {"signed, no key", good, true, "", 1, "",
         "patchctl publish: LIST.sig exists and would not match the changed list, so every launcher with the "
         "key would refuse it: give --key KEY.pem to sign again, or --unsigned to remove the signature; the "
         "list is unchanged\n",
         false},
        {"signed, dry run", good, true, "--dry-run", 1, "",
         "patchctl publish: LIST.sig exists and would not match the changed list, so every launcher with the "
         "key would refuse it: give --key KEY.pem to sign again, or --unsigned to remove the signature; the "
         "list is unchanged\n",
         false},
        {"key and --unsigned", good, true, "--key " + Quoted(key) + " --unsigned", 2, "",
         "patchctl publish: --key and --unsigned exclude each other\n", false},
        {"dry run", good, false, "--dry-run --key " + Quoted(key), 0,
         "LIST: patch 2 would be added: http://h/p0042.zip, 300 bytes (dry run, nothing changed)\n" + row +
             "\n",
         "", false},
        {"signed, --unsigned", good, true, "--unsigned", 0,
         "LIST: patch 2 added: http://h/p0042.zip, 300 bytes\nLIST.sig: removed\n", "", true},
        {"signed, key", good, true, "--key " + Quoted(key), 0,
         "LIST: patch 2 added: http://h/p0042.zip, 300 bytes\nLIST.sig: signed, serial 2\n", "", true},
    };
    for (const Case& c : cases) {
        const std::string list = dir.Write("list.txt", c.list);
        const std::string signature = list + ".sig";
        std::filesystem::remove(signature);
        if (c.signedBefore) {
            ASSERT_EQ(Patchctl("sign " + Quoted(list) + " --key " + Quoted(key)).exitCode, 0);
        }
        const std::string oldSignature = c.signedBefore ? ReadFileBytes(signature) : "";
        // Signing stamps the list first; signing again replaces the stamp with the next serial.
        const std::string before = ReadFileBytes(list);
        const bool signsAgain = c.options.find("--key") != std::string::npos && c.options != "--dry-run";
        const ProgramResult r =
            Patchctl("publish " + Quoted(list) + " " + Quoted(archive) + " http://h/p0042.zip " + c.options);
        const auto withList = [&](std::string text) {
            for (auto at = text.find("LIST"); at != std::string::npos;
                 at = text.find("LIST", at + list.size()))
                text.replace(at, 4, list);
            return text;
        };
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(r.out, withList(c.out)) << c.what;
        EXPECT_EQ(r.err.substr(0, r.err.find("usage:")), withList(c.err)) << c.what;
        const std::string expected = !c.changed   ? before
                                     : signsAgain ? "//serial 2\r\n" + c.list + row + "\r\n"
                                                  : before + row + "\r\n";
        EXPECT_EQ(ReadFileBytes(list), expected) << c.what;
        if (c.options == "--unsigned" || !c.signedBefore) {
            EXPECT_FALSE(std::filesystem::exists(signature)) << c.what;
        } else if (!c.changed) {
            EXPECT_EQ(ReadFileBytes(signature), oldSignature) << c.what;
        }
    }
}

// The public key of a PEM private key as the openssl tool gives it, in base64 of its DER form.
std::string OpensslPublicKeyBase64(const std::string& key) {
    // In parentheses: the runner's redirections must not take the pipe's place.
    return RunProgram("(openssl pkey -in " + Quoted(key) + " -pubout -outform DER | base64 -w0)").out;
}

TEST(PatchctlSign, KeysAndSignaturesGoBothWaysWithOpenssl) {
    TempDir dir;
    const std::string key = dir / "key.pem";
    const ProgramResult made = Patchctl("keygen " + Quoted(key));
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.out, "patchlist_key=" + OpensslPublicKeyBase64(key) + "\n");
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 2); // never overwritten
    ASSERT_EQ(
        RunProgram("openssl pkey -in " + Quoted(key) + " -pubout -out " + Quoted(dir / "pub.pem")).exitCode,
        0);

    const std::string pin(64, 'a'); // launchers with a key take only rows that pin their archive
    const std::string list = dir.Write("list.txt", "1\thttp://h/p1.zip\t1\t\t0\t" + pin + "\r\n");
    const ProgramResult signedList = Patchctl("sign " + Quoted(list) + " --key " + Quoted(key));
    ASSERT_EQ(signedList.exitCode, 0) << signedList.err;
    EXPECT_EQ(signedList.out, list + ".sig: signed, serial 1\n");
    const std::string verify = "openssl dgst -sha256 -verify " + Quoted(dir / "pub.pem") + " -signature " +
                               Quoted(list + ".sig") + " ";
    const ProgramResult verified = RunProgram(verify + Quoted(list));
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    EXPECT_EQ(verified.out, "Verified OK\n");
    dir.Write("tampered.txt", "1\thttp://h/p1.zip\t2\t\t0\t" + pin + "\r\n");
    EXPECT_NE(RunProgram(verify + Quoted(dir / "tampered.txt")).exitCode, 0);

    // The other way: key and signature from the openssl tool, checked by patchctl against a Config.ini.
    const std::string theirs = dir / "theirs.pem";
    ASSERT_EQ(
        RunProgram("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + Quoted(theirs))
            .exitCode,
        0);
    const auto opensslSigned = [&](const std::string& name, const std::string& bytes) {
        const std::string file = dir.Write(name, bytes);
        EXPECT_EQ(RunProgram("openssl dgst -sha256 -sign " + Quoted(theirs) + " -out " +
                             Quoted(file + ".sig") + " " + Quoted(file))
                      .exitCode,
                  0);
        return file;
    };
    const std::string other = opensslSigned("other.txt", "2\thttp://h/p2.zip\t5\t\t0\t" + pin + "\r\n");
    const std::string noSerial =
        ": info: no serial line: launchers that accepted a list with a serial refuse "
        "this one, and a copy of it can be served again; sign it with patchctl sign\n";
    const std::string plain =
        "client_title=T\nnewsfile_url=N\npatchlist_url=P\nserver_name=S\nwebsite_url=W\n"
        "controlpanel_url=C\nforum_url=F\nclient_exe=game.exe\n";
    const std::string config = dir / "Config.ini";
    const auto encode = [&](const std::string& pem) {
        dir.Write("Config.ini", Patchctl("config encode --key ED",
                                         plain + "patchlist_key=" + OpensslPublicKeyBase64(pem) + "\n")
                                    .out);
    };
    encode(theirs);
    const auto lint = [&](const std::string& file) {
        return Patchctl("lint " + Quoted(file) + " --sig --config " + Quoted(config));
    };
    ProgramResult r = lint(other);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out, other + noSerial + other + ": signature: " + other + ".sig verified with the key of " +
                         config + "\n" + other + ": 1 row, 0 problems\n");
    // patchctl's signature under the other key, and a list without signature.
    r = lint(list);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, list + ": signature: " + list + ".sig does not verify under the key of " + config +
                         "\n" + list + ": 1 row, 1 problem\n");
    const std::string unsignedList = dir / "tampered.txt";
    r = lint(unsignedList);
    EXPECT_EQ(r.out, unsignedList + noSerial + unsignedList + ": signature: " + unsignedList +
                         ".sig is missing\n" + unsignedList + ": 1 row, 1 problem\n");

    // What launchers with the key refuse although the signature verifies: stamp lines they cannot read, a
    // row without a SHA-256, an expiry that has passed.
    const std::string stale = opensslSigned(
        "stale.txt", "//serial 5 \r\n//expires 2020-01-01T00:00:00Z\r\n3\thttp://h/p3.zip\t5\t\t0\t\r\n");
    r = lint(stale);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              stale +
                  ":1: serial line is not of the form '//serial N' (1 to 18 decimal digits): launchers "
                  "with a patchlist_key take the list as having no serial\n" +
                  stale + ":3: row without a SHA-256: launchers with a patchlist_key do not download it\n" +
                  stale +
                  ": the list expired at 2020-01-01T00:00:00Z: launchers with a patchlist_key refuse "
                  "it\n" +
                  stale + ": signature: " + stale + ".sig verified with the key of " + config + "\n" + stale +
                  ": 1 row, 3 problems\n");
    const std::string twice = opensslSigned("twice.txt", "//serial 5\r\n//expires 2999-01-01T00:00:00Z\r\n"
                                                         "//expires 2999-01-01T00:00:00\r\n//serial 6\r\n");
    r = lint(twice);
    EXPECT_EQ(r.out,
              twice +
                  ":3: expiry line is not of the form '//expires YYYY-MM-DDTHH:MM:SSZ': launchers with a "
                  "patchlist_key take the list as expired\n" +
                  twice +
                  ":3: expiry line given twice (first on line 2): launchers with a patchlist_key read "
                  "neither\n" +
                  twice +
                  ":4: serial line given twice (first on line 1): launchers with a patchlist_key read "
                  "neither\n" +
                  twice + ": signature: " + twice + ".sig verified with the key of " + config + "\n" + twice +
                  ": 0 rows, 3 problems\n");

    encode(key);
    EXPECT_EQ(lint(list).exitCode, 0);

    // Keys that are not P-256 private keys sign nothing.
    const std::string rsa = dir / "rsa.pem";
    ASSERT_EQ(RunProgram("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + Quoted(rsa))
                  .exitCode,
              0);
    r = Patchctl("sign " + Quoted(list) + " --key " + Quoted(rsa));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "The key is not an ECDSA P-256 private key in PEM.\n");
}

// Every signing stamps the list with the next serial, first in the list; the expiry is set by --expires
// or kept; every other byte stays. Lists whose stamps forbid signing are left as they are.
TEST(PatchctlSign, StampsTheNextSerialAndKeepsEveryOtherByte) {
    TempDir dir;
    const std::string key = dir / "key.pem";
    ASSERT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 0);
    const std::string row = "1\thttp://h/p1.zip\t1\t\t0\t";
    struct Case {
        const char* what;
        std::string list;
        std::string signedList; // empty: refused, the list unchanged and no signature written
        std::string out;        // after "LIST.sig: " on stdout, or the error on stderr
        int exitCode;
    } cases[] = {
        {"a list without stamps", row + "\r\n", "//serial 1\r\n" + row + "\r\n", "signed, serial 1", 0},
        {"an empty list", "", "//serial 1\r\n", "signed, serial 1", 0},
        {"the serial moves to the top, other comments stay", "// realm\n//serial 41\n" + row + "\n",
         "//serial 42\r\n// realm\n" + row + "\n", "signed, serial 42", 0},
        {"a kept expiry, a last line without its line end",
         row + "\r//expires 2999-01-01T00:00:00Z\r\n//serial 7",
         "//serial 8\r\n//expires 2999-01-01T00:00:00Z\r\n" + row + "\r",
         "signed, serial 8, expires 2999-01-01T00:00:00Z", 0},
        {"stamps after a NUL are not the list's", std::string("//serial 2\r\n\0//serial 9\r\n", 25),
         std::string("//serial 3\r\n\0//serial 9\r\n", 25), "signed, serial 3", 0},
        {"a malformed serial", "//serial 0x10\r\n" + row + "\r\n", "",
         "The list cannot be signed: its serial line is not of the form '//serial N' (1 to 18 decimal "
         "digits)\n",
         1},
        {"two serial lines", "//serial 1\r\n//serial 2\r\n", "",
         "The list cannot be signed: it has more than one serial line.\n", 1},
        {"the largest serial", "//serial 999999999999999999\r\n", "",
         "The list cannot be signed: its serial 999999999999999999 is the largest a list can carry.\n", 1},
        {"a validity that is no number of days", "//validity 0\r\n", "",
         "The list cannot be signed: its validity line is not given once in the form '//validity DAYS' (1 to "
         "36500)\n",
         1},
        {"an expiry that has passed", "//expires 2020-01-01T00:00:00Z\r\n", "",
         "The list cannot be signed: it expired at 2020-01-01T00:00:00Z, and launchers refuse it so; sign it "
         "with --expires DAYS.\n",
         1},
    };
    for (const Case& c : cases) {
        const std::string list = dir.Write("list.txt", c.list);
        fs::remove(list + ".sig");
        const ProgramResult r = Patchctl("sign " + Quoted(list) + " --key " + Quoted(key));
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.err;
        if (c.exitCode == 0) {
            EXPECT_EQ(r.out, list + ".sig: " + c.out + "\n") << c.what;
            EXPECT_EQ(ReadFileBytes(list), c.signedList) << c.what;
            EXPECT_TRUE(fs::exists(list + ".sig")) << c.what;
        } else {
            EXPECT_EQ(r.err, c.out) << c.what;
            EXPECT_EQ(ReadFileBytes(list), c.list) << c.what;
            EXPECT_FALSE(fs::exists(list + ".sig")) << c.what;
        }
    }

    // --expires DAYS from now, replacing an expiry there was; the days must be a plain number.
    const std::string list = dir.Write("list.txt", "//expires 2020-01-01T00:00:00Z\r\n" + row + "\r\n");
    const auto before = std::chrono::system_clock::now();
    const ProgramResult r = Patchctl("sign " + Quoted(list) + " --key " + Quoted(key) + " --expires 30");
    const auto after = std::chrono::system_clock::now();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = ReadFileBytes(list);
    const std::string expires = bytes.substr(bytes.find("//expires ") + 10, 20);
    EXPECT_EQ(r.out, list + ".sig: signed, serial 1, expires " + expires + "\n");
    EXPECT_EQ(bytes, "//serial 1\r\n//expires " + expires + "\r\n//validity 30\r\n" + row + "\r\n");
    // The peer's reading of the time: date(1) turns it back into seconds.
    const long long seconds = std::stoll(RunProgram("date -u -d " + Quoted(expires) + " +%s").out);
    const auto since = [](auto t) {
        return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    };
    EXPECT_GE(seconds, since(before) + 30 * 86400);
    EXPECT_LE(seconds, since(after) + 30 * 86400);
    for (const char* days : {"0", "-1", "x", "36501", "1.5"}) {
        const std::string unchanged = ReadFileBytes(list);
        const ProgramResult refused =
            Patchctl("sign " + Quoted(list) + " --key " + Quoted(key) + " --expires " + Quoted(days));
        EXPECT_EQ(refused.exitCode, 2) << days;
        EXPECT_EQ(refused.err,
                  "patchctl sign: --expires takes a number of days from 1 to 36500, not '" +
                      std::string(days) +
                      "'\nusage: patchctl sign LIST --key KEY.pem [--key KEY.pem...] [--expires DAYS]\n")
            << days;
        EXPECT_EQ(ReadFileBytes(list), unchanged) << days;
    }

    // The span is kept: publish --key renews a passed expiry to it, and lint --sig warns a week ahead.
    dir.Write("list.txt", "//serial 3\r\n//expires 2020-01-01T00:00:00Z\r\n//validity 5\r\n" + row + "\r\n");
    const long long renewing = since(std::chrono::system_clock::now()) + 5 * 86400;
    ASSERT_EQ(Patchctl("publish " + Quoted(list) + " " + Quoted(dir.Write("p2.zip", "zip")) +
                       " http://h/p2.zip --key " + Quoted(key))
                  .exitCode,
              0);
    const std::string renewed = ReadFileBytes(list).substr(22, 20);
    EXPECT_GE(std::stoll(RunProgram("date -u -d " + Quoted(renewed) + " +%s").out), renewing);
    EXPECT_NE(
        Patchctl("lint " + Quoted(list) + " --sig --config none.ini")
            .out.find(": warning: the list expires at " + renewed +
                      ", in less than 7 days: sign it again "
                      "before then (patchctl sign, or publish --key), or launchers with a patchlist_key "
                      "refuse it\n"),
        std::string::npos);
}

} // namespace
