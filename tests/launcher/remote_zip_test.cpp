#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/net/remote_zip.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/fake_ui.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using pc::TRemoteEntry;
using pc::TRemoteZip;
using pc::test::RecordingUi;
using pc::test::TempDir;
using pc::test::ZipBuilder;

pc::DownloadLimits QuickLimits() {
    pc::DownloadLimits limits;
    limits.retryPauses = {10ms, 10ms};
    limits.lowSpeedTime = 5s;
    limits.noProgressTime = 10s;
    return limits;
}

// Keeps what the reader hands over, and the order of the calls.
class RecordingSink final : public pc::TRemoteEntrySink {
public:
    void Begin(const TRemoteEntry& entry) override {
        calls.push_back("Begin:" + entry.name);
        open[entry.name].clear();
    }
    void Write(const char* data, std::size_t size) override { open.rbegin()->second.append(data, size); }
    void Commit(const TRemoteEntry& entry) override {
        calls.push_back("Commit:" + entry.name);
        committed[entry.name] = open[entry.name];
        open.erase(entry.name);
    }
    void Abandon(const TRemoteEntry& entry) override {
        calls.push_back("Abandon:" + entry.name);
        open.erase(entry.name);
    }

    std::vector<std::string> calls;
    std::map<std::string, std::string> committed;
    std::map<std::string, std::string> open;
};

// Contents that deflate poorly, so that each entry's bytes on the server are about its size.
std::string Noise(std::size_t size, unsigned seed) {
    return pc::test::RandomText(size, seed);
}

struct Client {
    std::map<std::string, std::string> files;
    std::string archive;
};

// Five entries in this order: two large ones apart, two small neighbours, one stored.
Client MakeClient() {
    Client client;
    client.files = {{"data/first.pak", Noise(300'000, 1)},
                    {"data/second.pak", Noise(300'000, 2)},
                    {"small/a.txt", std::string(5000, 'a')},
                    {"small/b.txt", "bee"},
                    {"stored.bin", Noise(70'000, 3)}};
    ZipBuilder zip;
    zip.Deflated("data/first.pak", client.files["data/first.pak"]);
    zip.Deflated("small/a.txt", client.files["small/a.txt"]);
    zip.Deflated("small/b.txt", client.files["small/b.txt"]);
    zip.Deflated("data/second.pak", client.files["data/second.pak"]);
    zip.Stored("stored.bin", client.files["stored.bin"]);
    client.archive = zip.Build();
    return client;
}

std::vector<const TRemoteEntry*> Wanted(const TRemoteZip& zip, const std::vector<std::string>& names) {
    std::vector<const TRemoteEntry*> entries;
    for (const auto& name : names) {
        const TRemoteEntry* entry = zip.Find(name);
        EXPECT_NE(entry, nullptr) << name;
        if (entry != nullptr)
            entries.push_back(entry);
    }
    return entries;
}

// The requests nginx logged, as '"GET /x HTTP/1.1" 206 1234 connection=1' lines. nginx writes a line once
// its answer is out, which may be after the client has it: wait for `least` lines, and a little for more.
std::vector<std::string> AccessLog(const pc::test::NginxServer& server, std::size_t least) {
    auto read = [&] {
        std::ifstream log(server.StateDir() / "access.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);)
            lines.push_back(line);
        return lines;
    };
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (read().size() < least && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(100ms);
    return read();
}

class RemoteZipFromNginx : public ::testing::Test {
protected:
    void SetUp() override {
        client_ = MakeClient();
        content_.Write("client.zip", client_.archive);
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path());
    }

    Client client_;
    TempDir content_;
    std::unique_ptr<pc::test::NginxServer> server_;
    RecordingUi ui_;
};

TEST_F(RemoteZipFromNginx, FetchesOnlyTheEntriesAskedForWithNeighboursInOneRequest) {
    TRemoteZip zip(ui_, server_->Url("/client.zip"), QuickLimits());
    std::string failure;
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    ASSERT_EQ(zip.Entries().size(), 5u);
    EXPECT_EQ(zip.Find("nothing/such"), nullptr);
    const std::int64_t afterDirectory = zip.BytesReceived();

    RecordingSink sink;
    ASSERT_TRUE(
        zip.Fetch(Wanted(zip, {"stored.bin", "small/b.txt", "small/a.txt", "data/first.pak"}), sink, failure))
        << failure;
    EXPECT_EQ(sink.calls,
              (std::vector<std::string>{"Begin:data/first.pak", "Commit:data/first.pak", "Begin:small/a.txt",
                                        "Commit:small/a.txt", "Begin:small/b.txt", "Commit:small/b.txt",
                                        "Begin:stored.bin", "Commit:stored.bin"}));
    for (const auto& [name, bytes] : sink.committed)
        EXPECT_EQ(bytes, client_.files[name]) << name;

    // first.pak with its two small neighbours in one request, stored.bin in another; second.pak never.
    const auto log = AccessLog(*server_, 3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[1].find("\" 206 "), std::string::npos) << log[1];
    EXPECT_NE(log[2].find("\" 206 "), std::string::npos) << log[2];
    const TRemoteEntry& second = *zip.Find("data/second.pak");
    EXPECT_LT(zip.BytesReceived() - afterDirectory,
              static_cast<std::int64_t>(client_.archive.size()) - second.compressedSize);
}

TEST_F(RemoteZipFromNginx, ReadsADirectoryLargerThanTheTailWithOneMoreRequest) {
    ZipBuilder many;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "folder-with-a-long-name/file-number-" + std::to_string(i) + ".txt";
        files[name] = "contents of " + std::to_string(i);
        many.Deflated(name, files[name]);
    }
    content_.Write("many.zip", many.Build());
    TRemoteZip zip(ui_, server_->Url("/many.zip"), QuickLimits());
    std::string failure;
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    ASSERT_EQ(zip.Entries().size(), 3000u);
    EXPECT_EQ(AccessLog(*server_, 2).size(), 2u);
    RecordingSink sink;
    ASSERT_TRUE(zip.Fetch(Wanted(zip, {"folder-with-a-long-name/file-number-2999.txt"}), sink, failure))
        << failure;
    EXPECT_EQ(sink.committed.begin()->second, "contents of 2999");
}

TEST_F(RemoteZipFromNginx, AnInfoZipArchiveReadsAsUnzipShowsIt) {
    // Info-ZIP's own archive, as a peer: names, sizes and contents must be what unzip gives.
    TempDir tree;
    std::filesystem::create_directories(tree / "game/maps");
    tree.Write("game/maps/one.map", Noise(200'000, 7));
    tree.Write("game/readme.txt", std::string(10'000, 'r'));
    const std::string command = "cd '" + tree.Path() + "' && zip -qr '" + (content_ / "peer.zip") + "' game";
    ASSERT_EQ(std::system(command.c_str()), 0);
    TRemoteZip zip(ui_, server_->Url("/peer.zip"), QuickLimits());
    std::string failure;
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    RecordingSink sink;
    ASSERT_TRUE(zip.Fetch(Wanted(zip, {"game/maps/one.map", "game/readme.txt"}), sink, failure)) << failure;
    EXPECT_EQ(sink.committed["game/maps/one.map"], pc::test::ReadFileBytes(tree / "game/maps/one.map"));
    EXPECT_EQ(sink.committed["game/readme.txt"], pc::test::ReadFileBytes(tree / "game/readme.txt"));
    EXPECT_EQ(zip.Find("game/readme.txt")->hostSystem, 3); // made on Unix
}

TEST_F(RemoteZipFromNginx, AnArchiveReplacedBetweenDirectoryAndEntriesIsNotMixed) {
    TRemoteZip zip(ui_, server_->Url("/client.zip"), QuickLimits());
    std::string failure;
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    // A new release: other bytes, another modification time and so another ETag.
    std::string changed = client_.archive;
    changed[100] = static_cast<char>(changed[100] ^ 1);
    content_.Write("client.zip", changed);
    std::filesystem::last_write_time(content_ / "client.zip",
                                     std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    RecordingSink sink;
    EXPECT_FALSE(zip.Fetch(Wanted(zip, {"data/first.pak"}), sink, failure));
    EXPECT_EQ(failure, "the archive changed on the server while it was read");
    EXPECT_TRUE(sink.committed.empty());
}

TEST_F(RemoteZipFromNginx, MissingArchiveFailsWithItsStatus) {
    TRemoteZip zip(ui_, server_->Url("/none.zip"), QuickLimits());
    std::string failure;
    EXPECT_FALSE(zip.ReadDirectory(failure));
    EXPECT_EQ(failure, "HTTP status 404");
    // The first result stands.
    content_.Write("none.zip", client_.archive);
    failure.clear();
    EXPECT_FALSE(zip.ReadDirectory(failure));
    EXPECT_EQ(failure, "HTTP status 404");
    EXPECT_EQ(AccessLog(*server_, 1).size(), 1u);
}

class RemoteZipFaults : public ::testing::Test {
protected:
    void SetUp() override {
        client_ = MakeClient();
        content_.Write("client.zip", client_.archive);
        server_ = std::make_unique<pc::test::FaultServer>(content_.Path());
    }

    Client client_;
    TempDir content_;
    std::unique_ptr<pc::test::FaultServer> server_;
    RecordingUi ui_;
};

TEST_F(RemoteZipFaults, AServerIgnoringRangesIsReadAsItStreams) {
    // A small archive comes whole with the directory's request and is not asked for again.
    {
        TRemoteZip zip(ui_, server_->Url("/served/range=0/client.zip"), QuickLimits());
        std::string failure;
        ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
        RecordingSink sink;
        ASSERT_TRUE(zip.Fetch(Wanted(zip, {"small/b.txt", "data/second.pak"}), sink, failure)) << failure;
        EXPECT_EQ(sink.committed["small/b.txt"], client_.files["small/b.txt"]);
        EXPECT_EQ(sink.committed["data/second.pak"], client_.files["data/second.pak"]);
        EXPECT_EQ(server_->StatsFor("client.zip").requests, 1);
        EXPECT_EQ(zip.BytesReceived(), static_cast<std::int64_t>(client_.archive.size()));
    }
    // Of a larger one only the end is kept; the entries at its start take a second pass that stops once
    // they are in.
    const std::string tail = Noise(10 << 20, 9);
    ZipBuilder large;
    large.Deflated("small/a.txt", client_.files["small/a.txt"]).Stored("tail.bin", tail);
    const std::string archive = large.Build();
    content_.Write("large.zip", archive);
    TRemoteZip zip(ui_, server_->Url("/served/range=0/large.zip"), QuickLimits());
    std::string failure;
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    RecordingSink sink;
    ASSERT_TRUE(zip.Fetch(Wanted(zip, {"small/a.txt"}), sink, failure)) << failure;
    EXPECT_EQ(sink.committed["small/a.txt"], client_.files["small/a.txt"]);
    EXPECT_EQ(server_->StatsFor("large.zip").requests, 2);
    EXPECT_LT(zip.BytesReceived(), static_cast<std::int64_t>(archive.size()) + (2 << 20));
}

TEST_F(RemoteZipFaults, BrokenTransfersGoOnFromTheFirstMissingByte) {
    struct Case {
        const char* options;
        long requests;
    } cases[] = {{"drop=1000", 4}, {"fail=503,times=2", 5}};
    for (const auto& c : cases) {
        TempDir content;
        content.Write("client.zip", client_.archive);
        pc::test::FaultServer server(content.Path());
        TRemoteZip zip(ui_, server.Url(std::string("/served/") + c.options + "/client.zip"), QuickLimits());
        std::string failure;
        ASSERT_TRUE(zip.ReadDirectory(failure)) << c.options << ": " << failure;
        RecordingSink sink;
        ASSERT_TRUE(
            zip.Fetch(Wanted(zip, {"data/first.pak", "stored.bin"}), sink, failure, "- Fetching 2 files"))
            << c.options << ": " << failure;
        // The progress line counts each byte once, however often the transfer broke.
        EXPECT_EQ(ui_.logLines.back(), "- Fetching 2 files: 370 of 370 kB") << c.options;
        EXPECT_EQ(sink.committed["data/first.pak"], client_.files["data/first.pak"]) << c.options;
        EXPECT_EQ(sink.committed["stored.bin"], client_.files["stored.bin"]) << c.options;
        EXPECT_EQ(server.StatsFor("client.zip").requests, c.requests) << c.options;
    }
}

TEST_F(RemoteZipFaults, AServerThatKeepsFailingEndsTheFetchWithItsStatus) {
    TRemoteZip zip(ui_, server_->Url("/served/fail=500,times=99/client.zip"), QuickLimits());
    std::string failure;
    EXPECT_FALSE(zip.ReadDirectory(failure));
    EXPECT_EQ(failure, "HTTP status 500");
    EXPECT_EQ(server_->StatsFor("client.zip").requests, 3);
}

TEST_F(RemoteZipFaults, ARunsDeliveryPolicyLeadsToMirrorsPassesDeadHostsAndWaitsAsTheServerAsks) {
    // The archive's own host refuses connections; its mirror first answers 503 asking for a pause of 1 s.
    const std::string dead = "http://127.0.0.1:" + std::to_string(pc::test::FreeLoopbackPort());
    pc::TDelivery delivery(7);
    delivery.SetMirrorRules({{dead + "/client/", {server_->Url("/served/fail=503,times=1,retry=1/")}}});
    TRemoteZip zip(ui_, dead + "/client/client.zip", QuickLimits(), {}, &delivery);
    std::string failure;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1s); // not the 10 ms the limits plan
    EXPECT_TRUE(delivery.IsDeadHost(dead + "/client/client.zip"));
    RecordingSink sink;
    ASSERT_TRUE(zip.Fetch(Wanted(zip, {"small/a.txt"}), sink, failure)) << failure;
    EXPECT_EQ(sink.committed["small/a.txt"], client_.files["small/a.txt"]);
    EXPECT_EQ(server_->StatsFor("client.zip").requests, 3);
}

// Directories that claim what the archive cannot hold, each refused before an entry is fetched.
TEST(RemoteZipDirectory, ClaimsBeyondTheArchiveAreRefused) {
    const std::string good = ZipBuilder().Deflated("a.txt", "alpha").Deflated("b.txt", "beta").Build();
    const std::size_t endRecord = good.size() - 22;
    const std::size_t directory = endRecord - 2 * (46 + 5);
    auto patchedFrom = [](std::string bytes, std::size_t at, std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i)
            bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
        return bytes;
    };
    auto patched = [&](std::size_t at, std::uint32_t value, int count) {
        return patchedFrom(good, at, value, count);
    };
    // Both entry counts of the end record.
    auto counted = [&](std::uint16_t count) {
        return patchedFrom(patched(endRecord + 8, count, 2), endRecord + 10, count, 2);
    };
    const std::string prefix = "the archive's directory does not hold together: ";
    struct Case {
        const char* what;
        std::string archive;
        pc::TRemoteZipBounds bounds;
        std::string failure;
    } cases[] = {
        {"offset past end",
         patched(endRecord + 16, 0x7FFFFFF0, 4),
         {},
         prefix + "it claims to lie past the archive's end"},
        {"size past end",
         patched(endRecord + 12, 0x10000, 4),
         {},
         prefix + "it claims to lie past the archive's end"},
        {"entries on another disk",
         patched(endRecord + 10, 3, 2),
         {},
         "archives split over several disks are not supported"},
        {"more entries than bytes",
         counted(900),
         {},
         prefix + "it claims more entries than its bytes can hold"},
        {"fewer entries than bytes", counted(1), {}, prefix + "its size is not that of its entries"},
        {"count beyond the bound",
         counted(900),
         {256LL << 20, 100},
         prefix + "it claims 900 entries, more than 100 are refused"},
        {"directory beyond the bound",
         good,
         {50, 4'000'000},
         prefix + "it claims 102 bytes, more than 50 are refused"},
        {"entry offset past the directory",
         patched(directory + 42, 0x00FFFFFF, 4),
         {},
         prefix + "the data of a.txt lies past the directory"},
        {"overlapping entries",
         patched(directory + 46 + 5 + 42, 10, 4),
         {},
         prefix + "the data of a.txt overlaps the next entry"},
        {"compressed size past the directory",
         patched(directory + 20, 0x00FFFFFF, 4),
         {},
         prefix + "the data of a.txt lies past the directory"},
        {"no header", patched(directory, 0x12345678, 4), {}, prefix + "an entry's header is missing"},
        {"no end record",
         good.substr(0, endRecord),
         {},
         "no ZIP archive's end record at the end of the file"},
        {"duplicate name",
         ZipBuilder().Deflated("a.txt", "1").Deflated("a.txt", "2").Build(),
         {},
         prefix + "it names a.txt twice"},
    };
    TempDir content;
    pc::test::NginxServer server(content.Path());
    for (const auto& c : cases) {
        content.Write("bad.zip", c.archive);
        RecordingUi ui;
        TRemoteZip zip(ui, server.Url("/bad.zip"), QuickLimits(), c.bounds);
        std::string failure;
        EXPECT_FALSE(zip.ReadDirectory(failure)) << c.what;
        EXPECT_EQ(failure, c.failure) << c.what;
        EXPECT_TRUE(zip.Entries().empty()) << c.what;
    }
}

// Entries whose bytes do not match what the directory says are abandoned; the others still arrive.
TEST(RemoteZipEntries, BytesThatDoNotMatchTheDirectoryAreAbandoned) {
    auto entry = [](const std::string& name, const std::string& data) {
        pc::test::ZipEntryDef def;
        def.name = name;
        def.data = data;
        return def;
    };
    auto wrongCrc = entry("crc.txt", std::string(4000, 'c'));
    wrongCrc.centralCrc = 1234;
    auto otherName = entry("name.txt", "named");
    otherName.localName = "else.txt";
    auto damaged = entry("damaged.txt", "whatever");
    damaged.payload = std::string("\xFF\xFF\xFF\xFF", 4);
    auto shortSize = entry("size.txt", std::string(3000, 's'));
    shortSize.centralUncompressedSize = 2000;
    auto encrypted = entry("secret.txt", "hidden");
    encrypted.password = "pw";
    const std::string archive = ZipBuilder()
                                    .Add(wrongCrc)
                                    .Add(otherName)
                                    .Add(damaged)
                                    .Deflated("good.txt", "good")
                                    .Add(shortSize)
                                    .Add(encrypted)
                                    .Build();
    TempDir content;
    content.Write("c.zip", archive);
    pc::test::NginxServer server(content.Path());
    RecordingUi ui;
    TRemoteZip zip(ui, server.Url("/c.zip"), QuickLimits());
    std::string failure;
    ASSERT_TRUE(zip.ReadDirectory(failure)) << failure;
    RecordingSink sink;
    EXPECT_FALSE(
        zip.Fetch(Wanted(zip, {"crc.txt", "name.txt", "damaged.txt", "good.txt", "size.txt", "secret.txt"}),
                  sink, failure));
    EXPECT_EQ(failure, "crc.txt: its CRC-32 does not match the directory's (and 4 more)");
    EXPECT_EQ(sink.calls, (std::vector<std::string>{
                              "Begin:crc.txt", "Abandon:crc.txt", "Begin:damaged.txt", "Abandon:damaged.txt",
                              "Begin:good.txt", "Commit:good.txt", "Begin:size.txt", "Abandon:size.txt"}));
    EXPECT_EQ(sink.committed, (std::map<std::string, std::string>{{"good.txt", "good"}}));
}

} // namespace
