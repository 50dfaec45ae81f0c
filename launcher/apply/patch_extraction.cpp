#include "launcher/apply/patch_extraction.h"
#include "launcher/apply/delta_parts.h"

#include "archive/code_pages.h"
#include "archive/existing_names.h"
#include "archive/extract_files.h"
#include "archive/extract_names.h"
#include "archive/zip_records.h"
#include "framework/crypto.h"
#include "framework/file_view.h"
#include "framework/helpers.h"
#include "framework/install_lock.h"
#include "framework/output_file.h"
#include "launcher/install/installation.h"
#include "launcher/install/own_files.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/download.h"

#include <algorithm>
#include <map>
#include <optional>

namespace pc {
namespace {

constexpr const char16_t* kEveryEntryMask = u"*.*";
// A file carried as a delta is stamped as a Unix entry with its mode, like the whole files pack writes.
constexpr std::uint16_t kUnixMadeBy = (3u << 8) | 20u;

std::string Lower(const std::string& name) {
    return WideToUtf8(WideLowerCase(Utf8ToWide(name)));
}

std::string StoredName(const TDirItem& item) {
    std::string name = WideToUtf8(item.Name);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::string HexDigestOf(const std::uint8_t* data, std::size_t size) {
    TSha256 hasher;
    // Fed in slices: a mapped file is read by the system page by page either way.
    constexpr std::size_t kSlice = 4u << 20;
    for (std::size_t at = 0; at < size; at += kSlice)
        hasher.Update(data + at, std::min(kSlice, size - at));
    return hasher.HexDigest();
}

// The SHA-256 of a file read in pieces, for files too large to be held or mapped at once; empty when it
// cannot be read.
std::string HexDigestOfFile(TFileStream& file) {
    TSha256 hasher;
    std::vector<std::uint8_t> piece(4u << 20);
    file.SetPosition(0);
    for (;;) {
        const std::int64_t got = file.Read(piece.data(), static_cast<std::int64_t>(piece.size()));
        if (got < 0)
            return {};
        if (got == 0)
            return hasher.HexDigest();
        hasher.Update(piece.data(), static_cast<std::size_t>(got));
    }
}

EInOutError DiskFull(const std::string& base) {
    return EInOutError(InOutErrorMessage(kDiskFullCode), kDiskFullCode, base);
}

// A file of the patch being written beside its target: hashed as it is written, renamed into place only
// once the whole patch may be.
struct TStagedFile {
    TZAOutputFile output;
    TSha256 hasher;
    std::int64_t written = 0;
    bool writeFailed = false;
    bool outOfSpace = false;

    bool Write(const void* data, std::size_t size) {
        const auto count = static_cast<std::int64_t>(size);
        if (writeFailed || output.Write(data, count) != count) {
            writeFailed = true;
            outOfSpace = outOfSpace || output.OutOfSpace();
            return false;
        }
        hasher.Update(data, size);
        written += count;
        return true;
    }
    // Whether the bytes written are the record's new file; if so the file gets the record's mode.
    bool Matches(const TDeltaRecord& record) {
        if (written != record.newSize || hasher.HexDigest() != record.newSha256)
            return false;
        const std::uint32_t mode = record.mode & 0777u;
        const std::uint32_t dosAttributes = (mode & 0222u) != 0 ? 0x20u : 0x21u;
        output.SetEntryAttributes(kUnixMadeBy, ((0100000u | mode) << 16) | dosAttributes);
        return true;
    }
};

// A staged file that could not be written: a full disk ends the run as one during extraction does.
[[noreturn]] void ThrowWriteFailure(const TStagedFile& staged, const std::string& base,
                                    const std::string& target) {
    if (staged.outOfSpace)
        throw DiskFull(base);
    throw EDeltaError("Cannot write " + target);
}

// Takes the component's decoded bytes of a delta's data and feeds them to the decoder. It never reports
// a short write: the component would take that for a full disk of its own.
class TDeltaFeed : public TStream {
public:
    explicit TDeltaFeed(TDeltaDecoder& decoder) : decoder_(decoder) {}
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        decoder_.Feed(buffer, static_cast<std::size_t>(count));
        return count;
    }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
    void SetSize(std::int64_t) override {}

private:
    TDeltaDecoder& decoder_;
};

class TPartedFeed : public TStream {
public:
    explicit TPartedFeed(TPartedDeltaDecoder& decoder) : decoder_(decoder) {}
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        decoder_.Feed(buffer, static_cast<std::size_t>(count));
        return count;
    }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
    void SetSize(std::int64_t) override {}

private:
    TPartedDeltaDecoder& decoder_;
};

class TPatchExtraction {
public:
    TPatchExtraction(TZipArchiver& zip, const TCompanionOpener& openCompanion, const TLogLine& log)
        : zip_(zip), openCompanion_(openCompanion), log_(log) {
        base_ = WideToUtf8(zip.BaseDir.empty() ? Utf8ToWide(fsys::CurrentDirectory()) : zip.BaseDir);
        if (base_.empty() || (base_.back() != '/' && base_.back() != '\\'))
            base_ += '/';
    }

    TZARunOutcome Run() {
        const std::optional<TDeltaManifest> manifest = ReadDeltaManifest(zip_);
        if (manifest)
            StageDeltas(*manifest);

        TZADirArray& items = zip_.DirManager()->Items;
        for (std::int32_t i = 0; i < items.Count(); ++i)
            items.Item(i).Selected = false;
        TZAArchiveItem record;
        for (bool found = zip_.FindFirstMatch(kEveryEntryMask, record, u"", kZAEveryAttribute); found;
             found = zip_.FindNextMatch(record)) {
            TDirItem& item = items.Item(record.Handle.Index);
            if (!IsReservedEntry(item) && !SkippedAsOwn(StoredName(item)))
                item.Selected = true;
        }
        zip_.ProcessSelected(TZAProcessOperation::poExtract);
        if (zip_.LastRunOutcome() != TZARunOutcome::roCompleted)
            return zip_.LastRunOutcome();

        for (auto& [name, staged] : staged_)
            if (!staged->output.Commit())
                throw EDeltaError("Cannot replace " + base_ + name);
        staged_.clear();
        madeFolders_.clear();
        if (manifest)
            RemoveInstalledFiles(base_, manifest->removals, log_);
        return TZARunOutcome::roCompleted;
    }

    TPatchExtraction(const TPatchExtraction&) = delete;
    TPatchExtraction& operator=(const TPatchExtraction&) = delete;
    ~TPatchExtraction() {
        // A run that stopped early: its temporaries go, then the folders it made for them, deepest first
        // (a folder that holds anything stays).
        staged_.clear();
        for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it)
            fsys::RemoveEmptyDirectory(*it);
    }

private:
    // Whether `name` is one of the launcher's own files, which a patch never writes, replaces or removes;
    // the log says so. The rest of the patch applies.
    bool SkippedAsOwn(const std::string& name) {
        if (!IsLauncherOwnFile(name, executable_))
            return false;
        log_("- Skipped: " + name + " (a file of the launcher)");
        return true;
    }

    // The target of `name` beneath the base, with its folders made (only those already there when
    // `makeFolders` is false: empty when one is missing); EDeltaError when a link on the way leads out of
    // the installation.
    std::string Target(const std::string& name, bool makeFolders = true) {
        const std::string relative = ExistingSpelling(base_, name);
        const std::size_t slash = relative.rfind('/');
        if (slash != std::string::npos) {
            const std::string folder = relative.substr(0, slash);
            if (!makeFolders && !fsys::IsDirectory(base_ + folder))
                return {};
            // The folders made here go again if the patch stops before its files are in place.
            std::vector<std::string> missing;
            for (std::size_t at = folder.find('/');; at = folder.find('/', at + 1)) {
                const std::string part = folder.substr(0, at);
                if (!fsys::IsDirectory(base_ + part))
                    missing.push_back(base_ + part);
                if (at == std::string::npos)
                    break;
            }
            if (fsys::MakeDirectoriesBeneath(base_, folder) != fsys::TBeneath::Inside)
                throw EDeltaError("Cannot write " + name +
                                  ": its folder cannot be made inside the installation");
            madeFolders_.insert(madeFolders_.end(), missing.begin(), missing.end());
        }
        return base_ + relative;
    }

    void StageDeltas(const TDeltaManifest& manifest) {
        std::vector<const TDeltaRecord*> whole;
        for (const TDeltaRecord& record : manifest.deltas) {
            if (SkippedAsOwn(record.name))
                continue;
            // A file whose folder is missing is fetched whole; its folders are made when it arrives.
            const std::string target = Target(record.name, false);
            if (IsPartedDelta(record)) {
                if (!StagePartedDelta(record, target))
                    whole.push_back(&record);
                continue;
            }
            fsys::TFileView old;
            const bool present = !target.empty() && old.Open(target);
            const auto size = static_cast<std::int64_t>(old.Size());
            // The new file's SHA-256 tells whether the delta gave it, whatever the installed file was, so the
            // installed file is hashed only when the delta could not be applied to it.
            if (present && size == record.oldSize && Decode(record, old, target)) {
                old.Close();
                PlaceWhenManyHeld();
                continue;
            }
            if (present && size == record.newSize && HexDigestOf(old.Data(), old.Size()) == record.newSha256)
                continue; // already the new file
            whole.push_back(&record);
        }
        if (!whole.empty())
            FetchWhole(manifest.companion, whole);
    }

    // A parted delta is decoded against the installed file read region by region, never mapped whole:
    // memory stays that of one part however large the file. True when the new file is staged or already
    // in place.
    bool StagePartedDelta(const TDeltaRecord& record, const std::string& target) {
        if (target.empty())
            return false;
        std::unique_ptr<TFileStream> old;
        try {
            old = std::make_unique<TFileStream>(target, fmOpenRead | fmShareDenyNone);
        } catch (const Exception&) {
            return false;
        }
        const std::int64_t size = old->Size();
        if (size == record.oldSize && DecodeParted(record, *old, target)) {
            old.reset();
            PlaceWhenManyHeld();
            return true;
        }
        return size == record.newSize && HexDigestOfFile(*old) == record.newSha256;
    }

    bool DecodeParted(const TDeltaRecord& record, TFileStream& old, const std::string& target) {
        const std::int32_t index = FindEntry(zip_, kDeltaFolder + record.entry);
        if (index < 0)
            return false;
        std::unique_ptr<TStagedFile> staged = StageBeside(target);
        TPartedDeltaDecoder decoder(
            record.oldSize, record.newSize,
            [&](std::int64_t offset, std::size_t length, std::uint8_t* into) {
                old.SetPosition(offset);
                for (std::size_t at = 0; at < length;) {
                    const std::int64_t got = old.Read(into + at, static_cast<std::int64_t>(length - at));
                    if (got <= 0)
                        return false;
                    at += static_cast<std::size_t>(got);
                }
                return true;
            },
            WriterWithin(*staged, record));
        return DecodeInto<TPartedFeed>(index, record, target, std::move(staged), decoder);
    }

    // Each file waiting for its place holds a handle; a patch of thousands of deltas would run out of them.
    // Past a few dozen they are put in place at once: each is verified, and a later failure leaves the
    // patch unrecorded, the next run finding these files already new.
    void PlaceWhenManyHeld() {
        constexpr std::size_t kMostHeld = 64;
        if (staged_.size() < kMostHeld)
            return;
        for (auto& [name, staged] : staged_)
            if (!staged->output.Commit())
                throw EDeltaError("Cannot replace " + base_ + name);
        staged_.clear();
    }

    // Decodes the record's delta against the installed file into a temporary beside it. False when the
    // delta does not give the new file (it is taken whole then).
    bool Decode(const TDeltaRecord& record, const fsys::TFileView& old, const std::string& target) {
        const std::int32_t index = FindEntry(zip_, kDeltaFolder + record.entry);
        if (index < 0)
            return false;
        std::unique_ptr<TStagedFile> staged = StageBeside(target);
        TDeltaDecoder decoder(old.Data(), old.Size(), record.newSize, WriterWithin(*staged, record));
        return DecodeInto<TDeltaFeed>(index, record, target, std::move(staged), decoder);
    }

    // A temporary beside `target` for the file a delta decodes to.
    static std::unique_ptr<TStagedFile> StageBeside(const std::string& target) {
        auto staged = std::make_unique<TStagedFile>();
        if (!staged->output.Create(target))
            throw EDeltaError("Cannot create " + target);
        return staged;
    }

    // Writes a decoder's output into `staged`; more than the new file's size is not the new file.
    static TDeltaDecoder::TOutput WriterWithin(TStagedFile& staged, const TDeltaRecord& record) {
        return [&staged, &record](const std::uint8_t* data, std::size_t size) {
            return staged.written + static_cast<std::int64_t>(size) <= record.newSize &&
                   staged.Write(data, size);
        };
    }

    // Runs the delta entry `index` through `decoder` into `staged`. True when it gave the record's new file,
    // which then waits for its place; false when it did not (the file is taken whole then).
    template <typename Feed, typename Decoder>
    bool DecodeInto(std::int32_t index, const TDeltaRecord& record, const std::string& target,
                    std::unique_ptr<TStagedFile> staged, Decoder& decoder) {
        Feed feed(decoder);
        try {
            zip_.DecodeEntry(index, feed);
        } catch (const EZAException&) {
            return false;
        }
        // A file that cannot be written is no reason to fetch it: the same would happen again.
        if (staged->writeFailed)
            ThrowWriteFailure(*staged, base_, target);
        if (!decoder.Finished() || !staged->Matches(record))
            return false;
        staged_[record.name] = std::move(staged);
        return true;
    }

    // The whole new content of the files whose delta could not be applied, verified against the manifest.
    void FetchWhole(const std::string& companion, const std::vector<const TDeltaRecord*>& records) {
        std::vector<std::string> names;
        for (const TDeltaRecord* record : records) {
            log_("- Fetching in full: " + record->name);
            names.push_back(record->name);
        }
        std::unique_ptr<TFullCopySource> source = openCompanion_ ? openCompanion_(companion) : nullptr;
        if (!source)
            throw EDeltaError("Cannot fetch " + records.front()->name + " in full: the companion archive " +
                              companion + " cannot be reached");
        // The companion is not covered by the list's SHA-256: whatever its directory claims, no more than
        // the manifest's size of a file is ever written.
        class Sink : public TRemoteEntrySink {
        public:
            Sink(TPatchExtraction& owner, const std::vector<const TDeltaRecord*>& records,
                 const std::string& companion)
                : owner_(owner), companion_(companion) {
                for (const TDeltaRecord* record : records)
                    wanted_[record->name] = record;
            }
            void Begin(const TRemoteEntry& entry) override {
                current_.reset();
                const auto found = wanted_.find(entry.name);
                if (found == wanted_.end())
                    return;
                if (entry.size != found->second->newSize)
                    throw NotTheFile(entry.name);
                current_ = std::make_unique<TStagedFile>();
                current_name_ = entry.name;
                current_size_ = found->second->newSize;
                if (!current_->output.Create(owner_.Target(entry.name)))
                    throw EDeltaError("Cannot create " + owner_.base_ + entry.name);
            }
            void Write(const char* data, std::size_t size) override {
                if (!current_)
                    return;
                if (static_cast<std::uint64_t>(current_size_ - current_->written) < size) {
                    current_.reset();
                    throw NotTheFile(current_name_);
                }
                if (!current_->Write(data, size))
                    ThrowWriteFailure(*current_, owner_.base_, owner_.base_ + current_name_);
            }
            EDeltaError NotTheFile(const std::string& name) const {
                return EDeltaError("The full copy of " + name + " in " + companion_ +
                                   " is not the file the patch brings");
            }
            void Commit(const TRemoteEntry& entry) override {
                const auto found = wanted_.find(entry.name);
                if (!current_ || found == wanted_.end())
                    return;
                if (!current_->Matches(*found->second)) {
                    mismatched_ = entry.name;
                    current_.reset();
                    return;
                }
                owner_.staged_[entry.name] = std::move(current_);
                owner_.PlaceWhenManyHeld();
            }
            void Abandon(const TRemoteEntry&) override { current_.reset(); }
            const std::string& Mismatched() const { return mismatched_; }

        private:
            TPatchExtraction& owner_;
            const std::string& companion_;
            std::map<std::string, const TDeltaRecord*> wanted_;
            std::unique_ptr<TStagedFile> current_;
            std::string current_name_;
            std::int64_t current_size_ = 0;
            std::string mismatched_;
        } sink(*this, records, companion);
        std::string failure;
        const bool fetched = source->Fetch(names, sink, failure);
        if (!sink.Mismatched().empty())
            throw sink.NotTheFile(sink.Mismatched());
        if (!fetched)
            throw EDeltaError("Cannot fetch in full from " + companion + ": " + failure);
        for (const TDeltaRecord* record : records)
            if (staged_.count(record->name) == 0)
                throw EDeltaError("Cannot fetch " + record->name + " in full: " + companion + " lacks it");
    }

    TZipArchiver& zip_;
    const TCompanionOpener& openCompanion_;
    const TLogLine& log_;
    std::string base_;
    const std::string executable_ = NamePart(ExecutablePath());
    std::map<std::string, std::unique_ptr<TStagedFile>> staged_;
    std::vector<std::string> madeFolders_;
};

// The companion on disk, read with the archive component.
class TLocalCompanion : public TFullCopySource {
public:
    explicit TLocalCompanion(std::string path) : path_(std::move(path)) {}

    bool Fetch(const std::vector<std::string>& names, TRemoteEntrySink& sink, std::string& failure) override {
        TZipArchiver zip;
        zip.FileName = Utf8ToWide(path_);
        try {
            zip.OpenInMode(fmOpenRead | fmShareDenyNone);
        } catch (const Exception& e) {
            failure = e.Message();
            return false;
        }
        class Forward : public TStream {
        public:
            explicit Forward(TRemoteEntrySink& sink) : sink_(sink) {}
            std::int64_t Read(void*, std::int64_t) override { return 0; }
            std::int64_t Write(const void* buffer, std::int64_t count) override {
                sink_.Write(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
                return count;
            }
            std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
            void SetSize(std::int64_t) override {}

        private:
            TRemoteEntrySink& sink_;
        } forward(sink);
        bool all = true;
        for (const std::string& name : names) {
            const std::int32_t index = FindEntry(zip, name);
            if (index < 0) {
                failure = path_ + " lacks " + name;
                all = false;
                continue;
            }
            const TDirItem& item = zip.DirManager()->Items.Item(index);
            TRemoteEntry entry;
            entry.name = name;
            entry.size = static_cast<std::int64_t>(item.FullUncompressedSize());
            entry.crc32 = item.Crc32;
            sink.Begin(entry);
            try {
                zip.DecodeEntry(index, forward);
                sink.Commit(entry);
            } catch (const EZAException& e) {
                sink.Abandon(entry);
                failure = e.Message();
                all = false;
            }
        }
        zip.Close();
        return all;
    }

private:
    std::string path_;
};

std::string FetchingInFullHeading(std::size_t files) {
    return "- Fetching " + std::to_string(files) + (files == 1 ? " file" : " files") + " in full";
}

// The companion on the server.
class TRemoteCompanion : public TFullCopySource {
public:
    TRemoteCompanion(UiPort& ui, const std::string& url, TDelivery* delivery)
        : limits_(DefaultDownloadLimits()), zip_(ui, url, limits_, {}, delivery) {}

    bool Fetch(const std::vector<std::string>& names, TRemoteEntrySink& sink, std::string& failure) override {
        if (!zip_.ReadDirectory(failure))
            return false;
        std::vector<const TRemoteEntry*> entries;
        for (const std::string& name : names) {
            const TRemoteEntry* entry = zip_.Find(name);
            if (entry == nullptr) {
                failure = "it lacks " + name;
                return false;
            }
            entries.push_back(entry);
        }
        return zip_.Fetch(entries, sink, failure, FetchingInFullHeading(entries.size()));
    }

private:
    DownloadLimits limits_;
    TRemoteZip zip_;
};

} // namespace

std::unique_ptr<TFullCopySource> OpenRemoteCompanion(UiPort& ui, const std::string& url,
                                                     TDelivery* delivery) {
    return std::make_unique<TRemoteCompanion>(ui, url, delivery);
}

std::int32_t FindEntry(TZipArchiver& zip, const std::string& name) {
    TZADirArray& items = zip.DirManager()->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i)
        if (StoredName(items.Item(i)) == name)
            return i;
    return -1;
}

std::int64_t DecodedDeltaBytes(TZipArchiver& zip) {
    const std::optional<TDeltaManifest> manifest = ReadDeltaManifest(zip);
    std::int64_t bytes = 0;
    for (const TDeltaRecord& record : manifest ? manifest->deltas : std::vector<TDeltaRecord>{})
        bytes += record.newSize;
    return bytes;
}

bool IsReservedEntry(const TDirItem& item) {
    return Lower(StoredName(item)).rfind(kDeltaFolder, 0) == 0;
}

std::optional<TDeltaManifest> ReadDeltaManifest(TZipArchiver& zip) {
    const std::int32_t index = FindEntry(zip, kDeltaManifestEntry);
    if (index < 0)
        return std::nullopt;
    // A manifest lists every file of the installation at most: far below this.
    constexpr std::uint64_t kLargestManifest = 64u << 20;
    if (zip.DirManager()->Items.Item(index).FullUncompressedSize() > kLargestManifest)
        throw EDeltaError("The patch's delta manifest is damaged: it is too large");
    TMemoryStream text;
    try {
        zip.DecodeEntry(index, text);
    } catch (const EZAException&) {
        throw EDeltaError("The patch's delta manifest is damaged: it cannot be read");
    }
    const auto& bytes = text.Data();
    return ParseDeltaManifest(std::string(bytes.begin(), bytes.end()));
}

void RemoveInstalledFiles(const std::string& base, const std::vector<std::string>& names,
                          const TLogLine& log) {
    const std::string executable = NamePart(ExecutablePath());
    for (const std::string& name : names) {
        if (IsLauncherOwnFile(name, executable)) {
            log("- Skipped: " + name + " (a file of the launcher)");
            continue;
        }
        const std::string relative = ExistingSpelling(base, name);
        const std::size_t slash = relative.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : relative.substr(0, slash);
        // A missing folder holds nothing to remove; one reached through a link that leads out is not the
        // installation's.
        if (!folder.empty() && (!fsys::IsDirectory(base + folder) ||
                                fsys::MakeDirectoriesBeneath(base, folder) != fsys::TBeneath::Inside))
            continue;
        const std::string target = base + relative;
        if (fsys::IsDirectory(target))
            continue;
        if (!fsys::RemoveNonDirectory(target) && fsys::IsNonDirectory(target)) {
            log("- Cannot remove: " + name);
            continue;
        }
        for (std::string up = folder; !up.empty();) {
            if (!fsys::ListDirectory(base + up).empty() || !fsys::RemoveEmptyDirectory(base + up))
                break;
            const std::size_t at = up.rfind('/');
            up = at == std::string::npos ? std::string() : up.substr(0, at);
        }
    }
}

TZARunOutcome ExtractPatch(TZipArchiver& zip, const TCompanionOpener& openCompanion, const TLogLine& log) {
    if (!zip.IsOpen() || !zip.DirManager())
        throw EZAException(neArchiveNotOpen, &zip);
    return TPatchExtraction(zip, openCompanion, log).Run();
}

std::unique_ptr<TFullCopySource> OpenLocalCompanion(const std::string& path) {
    return std::make_unique<TLocalCompanion>(path);
}

std::string CompanionUrl(const std::string& patchUrl, const std::string& companion) {
    const std::string location = patchUrl.substr(0, patchUrl.find_first_of("?#"));
    return location.substr(0, location.rfind('/') + 1) + companion;
}

} // namespace pc
