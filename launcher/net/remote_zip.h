// Single entries of a ZIP archive on an HTTP server, read by range requests: the directory once, then only
// the bytes of the entries asked for, neighbouring entries in one request. A server that ignores ranges
// sends the whole archive to every request; it is read as it streams, keeping only its last few MiB,
// which hold the directory and any entries asked for that lie there (a small archive comes whole with
// the first request). What lies before takes one more pass, ending once the last entry asked for is in.
// Nothing of it is stored on disk.
// Used to heal single files of an installation and to fetch a file in full when a delta cannot be applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

class UiPort;
class TDelivery;
struct DownloadLimits;

// One entry as the archive's directory describes it, after the directory was checked to hold together.
struct TRemoteEntry {
    std::string name;         // as stored, '/' between folders
    std::uint16_t method = 0; // 0 stored, 8 deflated; others are refused when fetched
    std::uint32_t crc32 = 0;
    std::int64_t compressedSize = 0;
    std::int64_t size = 0; // uncompressed
    std::int64_t localHeaderOffset = 0;
    std::uint8_t hostSystem = 0; // the upper byte of "version made by"
    std::uint32_t externalAttributes = 0;
};

// Takes the bytes of the entries fetched, one entry at a time, in the order of the archive.
class TRemoteEntrySink {
public:
    virtual ~TRemoteEntrySink() = default;
    virtual void Begin(const TRemoteEntry& entry) = 0;
    // The entry's next uncompressed bytes, in order.
    virtual void Write(const char* data, std::size_t size) = 0;
    // All of the entry's bytes were written and their size and CRC-32 match the directory's.
    virtual void Commit(const TRemoteEntry& entry) = 0;
    // The entry could not be had whole (a transfer that failed for good, bytes that do not match); what
    // `Begin` started must go.
    virtual void Abandon(const TRemoteEntry& entry) = 0;
};

// Bounds that hold whatever the server claims.
struct TRemoteZipBounds {
    std::int64_t maxDirectoryBytes = 256LL << 20;
    std::int64_t maxEntries = 4'000'000;
};

class TRemoteZip {
public:
    // With a run's delivery policy the archive's mirrors are tried in order when a place fails, hosts that
    // did not answer earlier in the run are passed over, and pauses follow the server's Retry-After;
    // without one the URL alone is asked, with a policy of the reader's own.
    TRemoteZip(UiPort& ui, std::string url, const DownloadLimits& limits, TRemoteZipBounds bounds = {},
               TDelivery* delivery = nullptr);
    ~TRemoteZip();
    TRemoteZip(const TRemoteZip&) = delete;
    TRemoteZip& operator=(const TRemoteZip&) = delete;

    // Fetches the archive's directory (once; later calls return the first result). False with `failure`
    // when it cannot be had or does not hold together (offsets or sizes past the archive, overlapping
    // entries, counts beyond the bounds).
    bool ReadDirectory(std::string& failure);
    const std::vector<TRemoteEntry>& Entries() const;
    const TRemoteEntry* Find(std::string_view name) const;

    // Fetches the given entries (from `Entries()`) and hands each to `sink`. True when every one was
    // committed; false with `failure` otherwise (each entry that was begun is then committed or abandoned).
    // Under a `progress` heading the log's last line shows the fetch as a download's line does: the
    // entries' bytes that have arrived of all they hold, how fast and how long it will still take.
    bool Fetch(const std::vector<const TRemoteEntry*>& entries, TRemoteEntrySink& sink, std::string& failure,
               const std::string& progress = {});

    // Bytes of HTTP bodies received so far, for reports, tests and benchmarks.
    std::int64_t BytesReceived() const;

private:
    class TImpl;
    std::unique_ptr<TImpl> impl_;
};

} // namespace pc
