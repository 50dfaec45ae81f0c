// The CDN shape on loopback: nginx as a caching reverse proxy (proxy_cache, the slice module for ranges) in
// front of an origin nginx. `patchctl update` goes through the edge: a download killed half-way continues
// there with a range under the origin's validator, and a second installation is served from the cache
// alone. Single entries of an archive are read through it by ranges.
#include "launcher/install/installation.h"
#include "launcher/net/download.h"
#include "launcher/net/remote_zip.h"
#include "launcher/update_run.h"
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_ui.h"
#include "tests/support/nginx_server.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

namespace {

namespace fs = std::filesystem;
using pc::test::LogLinesFor;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

std::string AccessLog(const pc::test::NginxServer& server) {
    return ReadFileBytes((server.StateDir() / "access.log").string());
}

// The edge in front of `origin`: archives cached in slices of 1 MiB, each slice asked of the origin once;
// the patch list passed through uncached, so a new patch is seen at once. Slow towards the client, so
// that a test can stop a download half-way.
pc::test::NginxOptions EdgeOptions(const pc::test::NginxServer& origin, const std::string& cacheDir) {
    const std::string upstream = "http://127.0.0.1:" + std::to_string(origin.Port());
    pc::test::NginxOptions edge;
    edge.httpDirectives = "proxy_cache_path " + cacheDir +
                          " levels=1:2 keys_zone=patches:10m max_size=1g inactive=1h use_temp_path=off;";
    edge.serverDirectives = "location = /list.txt { proxy_pass " + upstream +
                            "; }\n"
                            "location / {\n"
                            "  limit_rate 2m;\n"
                            "  slice 1m;\n"
                            "  proxy_cache patches;\n"
                            "  proxy_cache_key $uri$slice_range;\n"
                            "  proxy_set_header Range $slice_range;\n"
                            "  proxy_http_version 1.1;\n"
                            "  proxy_cache_valid 200 206 1h;\n"
                            "  proxy_pass " +
                            upstream + ";\n}\n";
    return edge;
}

TEST(CacheTier, UpdatesAndContinuedDownloadsGoThroughTheEdge) {
    TempDir content;
    TempDir edgeRoot;
    TempDir cache;
    pc::test::NginxServer origin(content.Path());
    pc::test::NginxServer edge(edgeRoot.Path(), EdgeOptions(origin, cache.Path()));
    const std::string big = pc::test::NoiseBytes(7 << 19, 2323); // 3.5 MiB: four slices
    const std::string archive = pc::test::ZipBuilder().Stored("big.bin", big).Build();
    content.Write("p1.zip", archive);
    content.Write("list.txt", "1\t" + edge.Url("/p1.zip") + "\t100\t\t0\t\r\n");
    const ProgramResult encoded =
        Patchctl("config encode", pc::test::RealmConfig(edge.Url("/news.html"), edge.Url("/list.txt")));
    ASSERT_EQ(encoded.exitCode, 0) << encoded.err;

    // The first installation's download is killed with two fifths of the archive on disk.
    TempDir first;
    first.Write("Config.ini", encoded.out);
    TempDir logs;
    const fs::path stored = pc::StoredArchivePath(first.Path(), edge.Url("/p1.zip"));
    const pid_t killed =
        pc::test::SpawnChild({PATCHCTL_PATH, "update", first.Path()}, logs / "out", logs / "err");
    const auto kept = static_cast<long long>(
        pc::test::KillWhenFileReaches(killed, stored, archive.size() * 2 / 5, std::chrono::seconds(30)));
    ASSERT_GE(kept, static_cast<long long>(archive.size() * 2 / 5)) << ReadFileBytes(logs / "err");
    ASSERT_LT(kept, static_cast<long long>(archive.size())) << "the run was not killed in time";

    // Its next start asks the edge for the rest only, and the edge continues under the origin's validator.
    ProgramResult r = Patchctl("update " + Quoted(first.Path()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(first / "big.bin"), big);
    const auto edgeRequests = LogLinesFor(AccessLog(edge), "/p1.zip");
    ASSERT_EQ(edgeRequests.size(), 2u) << AccessLog(edge);
    EXPECT_EQ(pc::test::StatusOf(edgeRequests[1]), 206) << edgeRequests[1];
    EXPECT_EQ(pc::test::BytesSent(edgeRequests[1]), static_cast<long long>(archive.size()) - kept);

    // A second installation takes the whole archive from the cache: the origin is not asked again.
    const std::size_t originAsked = LogLinesFor(AccessLog(origin), "/p1.zip").size();
    EXPECT_GE(originAsked, 4u) << AccessLog(origin);
    for (const std::string& line : LogLinesFor(AccessLog(origin), "/p1.zip"))
        EXPECT_EQ(pc::test::StatusOf(line), 206) << "the origin is asked for slices only";
    TempDir second;
    second.Write("Config.ini", encoded.out);
    r = Patchctl("update " + Quoted(second.Path()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(second / "big.bin"), big);
    EXPECT_EQ(LogLinesFor(AccessLog(origin), "/p1.zip").size(), originAsked) << AccessLog(origin);
    EXPECT_EQ(LogLinesFor(AccessLog(origin), "/list.txt").size(), 3u) << "the list is never cached";
}

// Keeps the bytes of each entry the reader commits.
class KeepingSink final : public pc::TRemoteEntrySink {
public:
    void Begin(const pc::TRemoteEntry& entry) override { open_ = &entries[entry.name]; }
    void Write(const char* data, std::size_t size) override { open_->append(data, size); }
    void Commit(const pc::TRemoteEntry&) override { open_ = nullptr; }
    void Abandon(const pc::TRemoteEntry& entry) override { entries.erase(entry.name); }
    std::map<std::string, std::string> entries;

private:
    std::string* open_ = nullptr;
};

TEST(CacheTier, SingleEntriesAreReadThroughTheEdgeByRanges) {
    TempDir content;
    TempDir edgeRoot;
    TempDir cache;
    pc::test::NginxServer origin(content.Path());
    pc::test::NginxServer edge(edgeRoot.Path(), EdgeOptions(origin, cache.Path()));
    // Three entries of 1.5 MiB that deflate cannot shrink: the one in the middle lies across slices.
    pc::test::ZipBuilder zip;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 3; ++i) {
        const std::string name = "data/part" + std::to_string(i) + ".pak";
        files[name] = pc::test::NoiseBytes(3 << 19, 40 + i);
        zip.Stored(name, files[name]);
    }
    const std::string archive = zip.Build();
    content.Write("client.zip", archive);

    pc::test::RecordingUi ui;
    pc::DownloadLimits limits;
    limits.connectTimeout = std::chrono::milliseconds(2000);
    limits.retryPauses = {std::chrono::milliseconds(100), std::chrono::milliseconds(300)};
    pc::TRemoteZip remote(ui, edge.Url("/client.zip"), limits);
    std::string failure;
    ASSERT_TRUE(remote.ReadDirectory(failure)) << failure;
    ASSERT_EQ(remote.Entries().size(), 3u);
    const pc::TRemoteEntry* middle = remote.Find("data/part1.pak");
    ASSERT_NE(middle, nullptr);
    KeepingSink sink;
    ASSERT_TRUE(remote.Fetch({middle}, sink, failure)) << failure;
    EXPECT_EQ(sink.entries["data/part1.pak"], files["data/part1.pak"]);

    // Only ranges went out to the reader, and far less than the archive. nginx logs a request once its
    // answer is out, which may be after the reader has it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto requests = LogLinesFor(AccessLog(edge), "/client.zip");
    ASSERT_FALSE(requests.empty());
    long long sent = 0;
    for (const std::string& line : requests) {
        EXPECT_EQ(pc::test::StatusOf(line), 206) << line;
        sent += pc::test::BytesSent(line);
    }
    EXPECT_LT(sent, static_cast<long long>(archive.size()) / 2) << AccessLog(edge);
}

} // namespace
