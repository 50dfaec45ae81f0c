// The ZIP archive component: settings, the open archive's stream and directory, opening and closing,
// and the extraction operations built on them.
#pragma once

#include "archive/dialog_provider.h"
#include "archive/dir_manager.h"
#include "archive/streams.h"
#include "archive/za_exception.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace pc {

enum class TZAStorePathMode { spNoPath, spRelativePath, spFullPath, spFullPathWithDrive };
enum class TZAFileShareMode {
    smShareCompat,
    smShareExclusive,
    smShareDenyWrite,
    smShareDenyRead,
    smShareDenyNone
};
enum class TZAOverwriteMode { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };
enum class TZASpanningMode { smNone, smSpanning, smSplitting };
enum class TZACompressionLevel { clNone, clFastest, clNormal, clMax };
enum class TZip64Mode { zmDisabled, zmAuto, zmAlways };
enum class TZAVolumeSize {
    vsAutoDetect,
    vsCustom,
    vs1_44MB,
    vs100MB,
    vs200MB,
    vs250MB,
    vs600MB,
    vs650MB,
    vs700MB,
    vs4700MB
};

// The attribute set that selects every entry: read-only, hidden, system, volume label, directory, archive,
// normal, compressed and not-indexed bits all allowed (0x28BF).
inline constexpr std::uint32_t kZAEveryAttribute = 10431;

struct TZAOptions {
    TZAStorePathMode StorePath = TZAStorePathMode::spRelativePath;
    bool Recurse = true;
    TZAFileShareMode ShareMode = TZAFileShareMode::smShareDenyNone;
    TZAOverwriteMode OverwriteMode = TZAOverwriteMode::omAlways;
    bool CreateDirs = true;
    bool ReplaceReadOnly = true;
    bool SetAttributes = true;
    std::uint32_t SearchAttr = kZAEveryAttribute;
    bool FlushBuffers = true;
    bool OEMFileNames = true;
};

class TZASpanningOptions {
public:
    bool AdvancedNaming = true;
    std::int64_t FirstVolumeSize = 0;
    TZAVolumeSize VolumeSize = TZAVolumeSize::vsAutoDetect;
    bool SaveDirToFirstVolume = false;

    std::int64_t CustomVolumeSize() const { return customVolumeSize_; }
    void SetCustomVolumeSize(std::int64_t size) { customVolumeSize_ = size < 65536 ? 65536 : size; }

private:
    std::int64_t customVolumeSize_ = 0;
};

enum class TZAVolumeKind { vkFirst, vkLast, vkCustom, vkUnknown };

class TZAVolumeNumberInfo {
public:
    TZAVolumeKind Kind = TZAVolumeKind::vkUnknown;
    std::int32_t VolumeNumber = -1;
    std::int32_t LastVolumeNumber = -1;

    void Reset() {
        Kind = TZAVolumeKind::vkUnknown;
        VolumeNumber = -1;
        LastVolumeNumber = -1;
    }
    void SetFirst() {
        Kind = TZAVolumeKind::vkFirst;
        VolumeNumber = 0;
    }
    void SetLast() {
        Kind = TZAVolumeKind::vkLast;
        VolumeNumber = LastVolumeNumber;
    }
    void SetCustom(std::int32_t number) {
        Kind = TZAVolumeKind::vkCustom;
        VolumeNumber = number;
    }
};

// The operation a processing run performs on the selected entries.
enum class TZAProcessOperation : std::uint8_t { poDelete = 2, poUpdate = 3, poExtract = 4, poTest = 5 };
enum class TZAProgressPhase : std::uint8_t { ppStart = 0, ppProcess = 1, ppEnd = 2 };
// What the failure event decides for an entry that failed.
enum class TZAAction : std::uint8_t { faRetry = 0, faIgnore = 1, faAbort = 2 };

// How the last processing run ended: every selected entry settled (written, or left out by an Ignore
// answer or a declined overwrite), stopped early by an Abort answer or a cancelling event, or stopped
// because the disk or the quota filled up.
enum class TZARunOutcome : std::uint8_t { roCompleted, roAborted, roDiskFull };

// The search state of FindFirstMatch / FindNextMatch.
struct TInternalSearchRec {
    std::int32_t Index = 0;
    std::u16string Mask; // kept whole: a mask has no length limit
    bool HasWildcards = false;
    std::uint32_t SearchAttr = 0;
    std::u16string ExclusionMask;
};

// One match of the search, as the caller sees it.
struct TZAArchiveItem {
    std::u16string FileName;
    std::u16string StoredPath;
    std::int64_t CompressedSize = 0;
    std::int64_t UncompressedSize = 0;
    double CompressionRate = 0;
    bool Encrypted = false;
    std::uint16_t LastModFileTime = 0;
    std::uint16_t LastModFileDate = 0;
    std::uint32_t Crc = 0;
    std::uint32_t ExternalFileAttributes = 0;
    std::string Comment;
    TInternalSearchRec Handle;
};

class TZABaseArchiver;

// Events; each receives the component as Sender. Reference parameters may be changed by the handler.
using TZAProgressEvent =
    std::function<void(TZABaseArchiver& Sender, double Progress, TZAProcessOperation Operation,
                       TZAProgressPhase ProgressPhase, bool& Cancel)>;
using TZAFileProgressEvent =
    std::function<void(TZABaseArchiver& Sender, const std::u16string& FileName, double Progress,
                       TZAProcessOperation Operation, TZAProgressPhase ProgressPhase, bool& Cancel)>;
using TZAConfirmProcessFileEvent = std::function<void(TZABaseArchiver& Sender, const std::u16string& FileName,
                                                      TZAProcessOperation Operation, bool& Confirm)>;
using TZAExtractFileEvent = std::function<void(TZABaseArchiver& Sender, std::u16string& FileName,
                                               std::uint32_t& FileAttr, const std::string& Comment)>;
using TZAConfirmOverwriteEvent =
    std::function<void(TZABaseArchiver& Sender, const std::u16string& SourceFileName,
                       std::u16string& DestFileName, bool& Confirm)>;
using TZAPasswordEvent = std::function<void(TZABaseArchiver& Sender, const std::u16string& FileName,
                                            std::string& NewPassword, bool& SkipFile)>;
using TZADiskFullEvent = std::function<void(TZABaseArchiver& Sender, std::int32_t VolumeNumber,
                                            const std::u16string& VolumeFileName, bool& Cancel)>;
using TZAProcessFileFailureEvent = std::function<void(
    TZABaseArchiver& Sender, const std::u16string& FileName, TZAProcessOperation Operation,
    std::int32_t NativeError, std::int32_t ErrorCode, const std::u16string& ErrorMessage, TZAAction& Action)>;
using TZANotifyEvent = std::function<void(TZABaseArchiver& Sender)>;

class TZABaseArchiver {
public:
    TZABaseArchiver();
    TZABaseArchiver(const TZABaseArchiver&) = delete;
    TZABaseArchiver& operator=(const TZABaseArchiver&) = delete;
    virtual ~TZABaseArchiver(); // closes an open archive

    // The component's name; error messages raised with the component start with it.
    std::string Name;

    std::u16string FileName;
    std::u16string BaseDir;
    std::u16string TempDir;
    std::string Password;
    std::u16string SFXStub;
    TZAOptions Options;
    TZASpanningOptions SpanningOptions;
    bool InMemory = false;
    bool ExtractCorruptedFiles = false;
    TZip64Mode Zip64Mode = TZip64Mode::zmAuto;
    bool UnicodeFilenames = true;
    std::vector<std::u16string> FileMasks;
    std::vector<std::u16string> ExclusionMasks;
    std::vector<std::u16string> NoCompressionMasks;

    TZACompressionLevel CompressionLevel() const { return compressionLevel_; }
    void SetCompressionLevel(TZACompressionLevel level);
    std::uint8_t CompressionMode() const { return compressionMode_; }
    void SetCompressionMode(int mode); // EZAException 5 above 9
    TZASpanningMode SpanningMode() const { return spanningMode_; }
    void SetSpanningMode(TZASpanningMode mode); // refused while an archive is open
    std::u16string CurrentVersion() const { return u"3.01 "; }

    TZAFileProgressEvent OnFileProgress;
    TZAProgressEvent OnOverallProgress;
    TZAConfirmOverwriteEvent OnConfirmOverwrite;
    TZAConfirmProcessFileEvent OnConfirmProcessFile;
    TZANotifyEvent AfterOpen;
    TZAPasswordEvent OnPassword;
    TZAProcessFileFailureEvent OnProcessFileFailure;
    TZADiskFullEvent OnDiskFull;
    TZAExtractFileEvent OnExtractFile;

    // Shows the built-in dialogs of events that have no handler. Without a provider every such dialog
    // counts as closed: failures abort the run, overwrites are declined, password prompts cancelled.
    TZADialogProvider* DialogProvider = nullptr;

    // Opens FileName, creating an empty archive when no such file exists.
    void Open();
    // Opens with an explicit file mode; fmCreate creates (truncates) the file.
    void OpenInMode(std::uint16_t mode);
    // Closes the archive; never raises.
    void Close() noexcept;

    // Extracts every entry that the mask selects to BaseDir.
    void ExtractMatching(const std::u16string& FileMask, std::uint32_t SearchAttr,
                         const std::u16string& ExclusionMask);
    bool FindFirstMatch(const std::u16string& FileMask, TZAArchiveItem& F,
                        const std::u16string& ExclusionMask, std::uint32_t SearchAttr);
    bool FindNextMatch(TZAArchiveItem& F);
    void ProcessSelected(TZAProcessOperation Operation);
    void ExtractEntry(std::int32_t ItemNo, const std::u16string& FileName, const std::u16string& DestDir);
    // Reads, deciphers, inflates and verifies one entry into Output.
    void DecodeEntry(std::int32_t ItemNo, TStream& Output);
    bool WriteFully(TStream& Output, const void* Buffer, std::int64_t Count);

    TZARunOutcome LastRunOutcome() const { return lastRunOutcome_; }
    bool IsOpen() const { return isOpen_; }
    std::uint16_t OpenMode() const { return openMode_; }
    TStream* ArchiveStream() const { return archiveStream_.get(); }
    TZADirManager* DirManager() const { return dirManager_.get(); }
    const TZAVolumeNumberInfo& VolumeNumberInfo() const { return volumeNumberInfo_; }
    // Tolerant opening: a missing end record or an unreadable directory is rebuilt from the local headers.
    bool RecoverDamagedArchives() const { return recoverDamagedArchives_; }
    void SetRecoverDamagedArchives(bool recover) { recoverDamagedArchives_ = recover; }
    // The compression method word: 8 (deflate) for any mode above 0, else 0 (stored).
    std::uint16_t CompressionMethod() const { return compressionMode_ > 0 ? 8 : 0; }

protected:
    void OpenArchive();
    void CreateArchive();
    void OpenExistingArchive();
    void ReleaseArchive() noexcept;
    std::string FileNameUtf8() const;

    // Extraction helpers: the search from the record's index on, and each event with its default.
    bool SearchFrom(TZAArchiveItem& F);
    void FireOverallProgress(double progress, TZAProcessOperation operation, TZAProgressPhase phase);
    void FireFileProgress(const std::u16string& fileName, double progress, TZAProcessOperation operation,
                          TZAProgressPhase phase);
    TZAAction FireProcessFileFailure(const std::u16string& fileName, TZAProcessOperation operation,
                                     const EZAException& error);
    bool FireConfirmOverwrite(const std::u16string& fileName, std::u16string& destFileName);
    void FirePassword(const std::u16string& storedName, std::string& password);

    bool isOpen_ = false;
    std::uint16_t openMode_ = 0;
    std::unique_ptr<TStream> archiveStream_;
    TZAVolumeNumberInfo volumeNumberInfo_;
    std::unique_ptr<TZADirManager> dirManager_;
    bool recoverDamagedArchives_ = true;

    TZACompressionLevel compressionLevel_ = TZACompressionLevel::clFastest;
    std::uint8_t compressionMode_ = 1;
    TZASpanningMode spanningMode_ = TZASpanningMode::smNone;

    // State of a processing run, reset when a run starts.
    std::int32_t processedCount_ = 0;
    std::int32_t selectedCount_ = 0;
    bool cancel_ = false;
    TZARunOutcome lastRunOutcome_ = TZARunOutcome::roCompleted;
    // Directories this run has made or found beneath its base: the thousands of files of one folder
    // resolve it once, not once each.
    std::unordered_set<std::string> directoriesBeneath_;
    bool progressEnabled_ = false;
    bool skipFile_ = false;
    std::u16string fallbackBaseDir_;
};

class TZipArchiver : public TZABaseArchiver {
public:
    TZipArchiver() { Zip64Mode = TZip64Mode::zmDisabled; }
};

} // namespace pc
