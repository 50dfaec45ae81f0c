// Extraction: selecting entries by mask, the processing run over the selected entries, writing one entry
// to one file, decoding an entry's data into a stream, and the built-in defaults of the events.
#include "archive/code_pages.h"
#include "archive/decode.h"
#include "archive/existing_names.h"
#include "archive/extract_files.h"
#include "archive/extract_names.h"
#include "archive/zip_archiver.h"
#include "framework/critical_section.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>

namespace pc {
namespace {

constexpr std::uint32_t kAttrSearchable = 0x1E; // hidden, system, volume label, directory

// The modification time of the extended-timestamp block (flag bit 0, then a signed 32-bit Unix time): the
// exact moment, where the DOS time is local time of an unknown zone rounded to two seconds.
std::optional<std::time_t> ExtendedModTime(const TDirItem& item) {
    for (const ExtraFieldView field : item.ExtraFields) {
        if (field.HeaderId != kExtendedTimestampId || field.Data.size() < 5 || (field.Data[0] & 1) == 0)
            continue;
        return static_cast<std::time_t>(static_cast<std::int32_t>(GetU32(field.Data.data() + 1)));
    }
    return std::nullopt;
}

// One run at a time across every component of the process; the thread that holds it may enter again.
TCriticalSection& ProcessLock() {
    static TCriticalSection lock;
    return lock;
}

bool IsExtractOrTest(TZAProcessOperation operation) {
    return operation == TZAProcessOperation::poExtract || operation == TZAProcessOperation::poTest;
}

// Names as this system writes paths: '/' between components.
std::u16string NativeName(std::u16string name) {
    for (char16_t& c : name)
        if (c == u'\\')
            c = u'/';
    return name;
}

std::u16string WithoutTrailingSeparator(std::u16string name) {
    if (!name.empty() && (name.back() == u'/' || name.back() == u'\\'))
        name.pop_back();
    return name;
}

// The directory part of a name, lower-cased, for the non-recursive search.
std::u16string DirectoryKey(const std::u16string& name) {
    std::u16string n = NativeName(name);
    const std::size_t at = n.rfind(u'/');
    return WideLowerCase(at == std::u16string::npos ? std::u16string() : n.substr(0, at + 1));
}

// A mask selects a name by the whole stored path or by its file-name part.
bool NameMatches(const std::u16string& name, const std::u16string& mask) {
    return MatchesMask(name, mask) || MatchesMask(FileNamePart(NativeName(name)), mask);
}

std::u16string PrepareMask(const std::u16string& mask, TZAStorePathMode storePath) {
    if (storePath != TZAStorePathMode::spFullPathWithDrive)
        return PrepareSearchMask(mask);
    std::u16string result = mask;
    for (char16_t& c : result)
        if (c == u'\\')
            c = u'/';
    return result;
}

} // namespace

void TZABaseArchiver::ExtractMatching(const std::u16string& FileMask, std::uint32_t SearchAttr,
                                      const std::u16string& ExclusionMask) {
    if (!isOpen_ || !dirManager_)
        throw EZAException(neArchiveNotOpen, this);
    TZADirArray& items = dirManager_->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i)
        items.Item(i).Selected = false;
    TZAArchiveItem record;
    for (bool found = FindFirstMatch(FileMask, record, ExclusionMask, SearchAttr); found;
         found = FindNextMatch(record))
        items.Item(record.Handle.Index).Selected = true;
    ProcessSelected(TZAProcessOperation::poExtract);
}

bool TZABaseArchiver::FindFirstMatch(const std::u16string& FileMask, TZAArchiveItem& F,
                                     const std::u16string& ExclusionMask, std::uint32_t SearchAttr) {
    TInternalSearchRec& search = F.Handle;
    search.Mask = PrepareMask(FileMask, Options.StorePath);
    search.HasWildcards = search.Mask.find_first_of(u"*?") != std::u16string::npos;
    search.SearchAttr = SearchAttr;
    search.ExclusionMask =
        ExclusionMask.empty() ? std::u16string() : PrepareMask(ExclusionMask, Options.StorePath);
    search.Index = 0;
    return SearchFrom(F);
}

bool TZABaseArchiver::FindNextMatch(TZAArchiveItem& F) {
    F.Handle.Index += 1;
    return SearchFrom(F);
}

bool TZABaseArchiver::SearchFrom(TZAArchiveItem& F) {
    if (!dirManager_)
        return false;
    TZADirArray& items = dirManager_->Items;
    TInternalSearchRec& search = F.Handle;
    const std::u16string maskDirectory = DirectoryKey(search.Mask);
    for (std::int32_t i = std::max(search.Index, 0); i < items.Count(); ++i) {
        const TDirItem& item = items.Item(i);
        // An entry without a name names no file.
        if (item.Name.empty())
            continue;
        if (!Options.Recurse && DirectoryKey(WithoutTrailingSeparator(item.Name)) != maskDirectory)
            continue;
        const std::u16string name = WithoutTrailingSeparator(item.Name);
        if (!NameMatches(name, search.Mask))
            continue;
        if (!search.ExclusionMask.empty() && NameMatches(name, search.ExclusionMask))
            continue;
        if ((item.ExternalAttr & kAttrSearchable & ~search.SearchAttr) != 0)
            continue;

        search.Index = i;
        const std::u16string native = NativeName(name);
        const std::size_t slash = native.rfind(u'/');
        F.FileName = slash == std::u16string::npos ? native : native.substr(slash + 1);
        F.StoredPath = slash == std::u16string::npos ? std::u16string() : native.substr(0, slash + 1);
        F.CompressedSize = static_cast<std::int64_t>(item.FullCompressedSize());
        F.UncompressedSize = static_cast<std::int64_t>(item.FullUncompressedSize());
        F.CompressionRate = F.UncompressedSize > 0
                                ? 100.0 * (1.0 - static_cast<double>(F.CompressedSize) /
                                                     static_cast<double>(F.UncompressedSize))
                                : 0.0;
        F.Encrypted = (item.Flags & kFlagEncrypted) != 0;
        F.LastModFileTime = item.ModTime;
        F.LastModFileDate = item.ModDate;
        F.Crc = item.Crc32;
        F.ExternalFileAttributes = item.ExternalAttr;
        F.Comment = item.Comment;
        return true;
    }
    search.Index = items.Count();
    return false;
}

void TZABaseArchiver::ProcessSelected(TZAProcessOperation Operation) {
    std::lock_guard<TCriticalSection> lock(ProcessLock());
    ForgetExistingNames();
    directoriesBeneath_.clear();
    processedCount_ = 0;
    selectedCount_ = 0;
    cancel_ = false;
    lastRunOutcome_ = TZARunOutcome::roCompleted;
    progressEnabled_ = true;
    if (!dirManager_)
        return;
    TZADirArray& items = dirManager_->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i)
        if (items.Item(i).Selected)
            ++selectedCount_;

    const bool withProgress = IsExtractOrTest(Operation);
    if (withProgress)
        FireOverallProgress(0.0, Operation, TZAProgressPhase::ppStart);

    bool aborted = false;
    bool leave = cancel_;
    for (std::int32_t i = 0; !leave && i < items.Count();) {
        if (!items.Item(i).Selected) {
            ++i;
            continue;
        }
        items.Item(i).Operation = static_cast<std::uint8_t>(Operation);
        TZAAction action = TZAAction::faIgnore;
        for (bool again = true; again;) {
            again = false;
            action = TZAAction::faIgnore;
            const std::u16string fileName = NativeName(items.Item(i).Name);
            try {
                bool confirm = true;
                if (OnConfirmProcessFile)
                    OnConfirmProcessFile(*this, fileName, Operation, confirm);
                if (confirm) {
                    if (fallbackBaseDir_.empty()) {
                        fallbackBaseDir_ = Utf8ToWide(fsys::CurrentDirectory());
                    }
                    std::u16string destination = BaseDir.empty() ? fallbackBaseDir_ : BaseDir;
                    if (destination.empty() || (destination.back() != u'/' && destination.back() != u'\\'))
                        destination += u'/';
                    if (withProgress) {
                        FireFileProgress(fileName, 0.0, Operation, TZAProgressPhase::ppStart);
                        if (cancel_) {
                            leave = true;
                            break;
                        }
                    }
                    if (Operation == TZAProcessOperation::poExtract) {
                        ExtractEntry(i, fileName, destination);
                    } else if (Operation == TZAProcessOperation::poTest &&
                               !(items.Item(i).ExternalAttr & kAttrDirectory)) {
                        TNullStream sink;
                        DecodeEntry(i, sink);
                    }
                    if (withProgress) {
                        const bool before = cancel_;
                        FireFileProgress(fileName, 100.0, Operation, TZAProgressPhase::ppEnd);
                        cancel_ = before || cancel_;
                    }
                    if (cancel_)
                        leave = true;
                    else
                        ++processedCount_;
                }
            } catch (const EZAException& error) {
                action = FireProcessFileFailure(fileName, Operation, error);
                again = action == TZAAction::faRetry;
            }
        }
        if (action == TZAAction::faAbort) {
            aborted = true;
            leave = true;
        }
        if (cancel_)
            leave = true;
        if (Operation != TZAProcessOperation::poDelete)
            ++i;
    }

    if (withProgress) {
        const bool before = cancel_;
        FireOverallProgress(100.0, Operation, TZAProgressPhase::ppEnd);
        cancel_ = before || cancel_;
    }
    // A full disk has already said so; any other stop is an abort.
    if ((cancel_ || aborted) && lastRunOutcome_ == TZARunOutcome::roCompleted)
        lastRunOutcome_ = TZARunOutcome::roAborted;
}

void TZABaseArchiver::ExtractEntry(std::int32_t ItemNo, const std::u16string& FileName,
                                   const std::u16string& DestDir) {
    if (!dirManager_ || ItemNo < 0 || ItemNo >= dirManager_->Items.Count())
        throw EZAException(neEntryIndexOutOfBounds, this);
    const TDirItem& item = dirManager_->Items.Item(ItemNo);
    std::uint32_t fileAttr = item.ExternalAttr;
    std::u16string fileName = NativeName(FileName);
    if (OnExtractFile) {
        OnExtractFile(*this, fileName, fileAttr, item.Comment);
        fileName = NativeName(fileName);
    }
    // Targets never leave the base directory.
    if (IsUnsafeEntryName(fileName))
        throw EZAException(neUnsafeName, {WideToUtf8(item.Name)}, this);

    const std::string destination = WideToUtf8(DestDir);
    std::string relative = WideToUtf8(fileName);
    if (!Options.CreateDirs && relative.rfind('/') != std::string::npos)
        relative.erase(0, relative.rfind('/') + 1);
    // Names on disk follow Windows rules: one that differs only in letter case is the same file.
    bool nameIsFree = false;
    relative = ExistingSpelling(destination, relative, &nameIsFree);
    const std::size_t slash = relative.rfind('/');
    if (Options.CreateDirs) {
        const std::string below = relative.substr(0, slash == std::string::npos ? 0 : slash + 1);
        const std::string directory = destination + below;
        fsys::TBeneath reached = fsys::TBeneath::Failed;
        if (directoriesBeneath_.count(directory) != 0) {
            reached = fsys::TBeneath::Inside;
        } else {
            try {
                // The base directory is the caller's to choose, links and all; below it nothing may lead out.
                if (IsExistingDirectory(destination) || CreateDirectoryChain(destination))
                    reached = fsys::MakeDirectoriesBeneath(destination, below);
            } catch (const Exception&) {
                reached = fsys::TBeneath::Failed;
            }
            if (reached == fsys::TBeneath::Inside)
                directoriesBeneath_.insert(directory);
        }
        // A link already in the installation (a redirected folder) that leads out of it.
        if (reached == fsys::TBeneath::Outside)
            throw EZAException(neUnsafeName, {WideToUtf8(item.Name)}, this);
        if (reached != fsys::TBeneath::Inside)
            throw EZAException(neCannotCreateDirectory, {directory}, this);
    }

    const bool isDirectory = (item.ExternalAttr & kAttrDirectory) ||
                             (!item.Name.empty() && (item.Name.back() == u'/' || item.Name.back() == u'\\'));
    if (isDirectory)
        return;

    std::string target = destination + relative;
    // A name its folder's listing does not hold needs no look at the disk.
    bool replacesFile = !nameIsFree && IsExistingNonDirectory(target);
    if (replacesFile) {
        if (!Options.ReplaceReadOnly && IsReadOnlyFile(target))
            return;
        const auto entryTime = static_cast<std::int32_t>((std::uint32_t{item.ModDate} << 16) | item.ModTime);
        const std::optional<std::time_t> exactTime = ExtendedModTime(item);
        bool replace = true;
        switch (Options.OverwriteMode) {
        case TZAOverwriteMode::omPrompt: {
            std::u16string dest = Utf8ToWide(target);
            replace = FireConfirmOverwrite(fileName, dest);
            if (WideToUtf8(dest) != target) {
                target = WideToUtf8(dest);
                replacesFile = IsExistingNonDirectory(target);
            }
            break;
        }
        case TZAOverwriteMode::omAlways:
            break;
        case TZAOverwriteMode::omNever:
            replace = false;
            break;
        case TZAOverwriteMode::omIfNewer:
            if (exactTime)
                replace = !(FileModTime(target).value_or(-1) >= *exactTime);
            else
                replace = !(FileAgeDos(target) >= entryTime);
            break;
        case TZAOverwriteMode::omIfOlder:
            if (exactTime)
                replace = !(FileModTime(target).value_or(-1) <= *exactTime);
            else
                replace = !(FileAgeDos(target) <= entryTime);
            break;
        }
        if (!replace)
            return;
    }

    // The entry goes to a temporary beside the target, which it replaces only once it is complete.
    TZAOutputFile output;
    if (!output.Create(target, replacesFile, nameIsFree))
        throw EZAException(neCannotCreateFile, {target}, this);

    std::exception_ptr failure;
    try {
        DecodeEntry(ItemNo, output);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure || skipFile_ || cancel_) {
        output.Discard();
        if (failure)
            std::rethrow_exception(failure);
        return;
    }
    const TDirItem& decoded = dirManager_->Items.Item(ItemNo);
    if (auto exact = ExtendedModTime(decoded))
        output.SetLastWriteTime(*exact);
    else if (auto when = DosDateTimeToTime(decoded.ModDate, decoded.ModTime))
        output.SetLastWriteTime(*when);
    if (Options.SetAttributes)
        output.SetEntryAttributes(decoded.VersionMadeBy, fileAttr);
    // Only removable media are flushed: a stick pulled right after the update keeps its files.
    if (Options.FlushBuffers && output.IsOnRemovableMedia())
        output.Flush();
    if (!output.Commit())
        throw EZAException(neCannotCreateFile, {target}, this);
}

namespace {

// Connects the decoding engine to the component: archive reads, WriteFully, progress and password.
class TComponentDecodeHost : public TZADecodeHost {
public:
    using ProgressFn = std::function<bool(std::uint64_t, std::uint64_t)>;
    using WriteFn = std::function<bool(const std::uint8_t*, std::size_t)>;
    using PasswordFn = std::function<bool(std::string&)>;

    TComponentDecodeHost(TStream& archive, WriteFn write, ProgressFn progress, PasswordFn password)
        : archive_(archive), write_(std::move(write)), progress_(std::move(progress)),
          password_(std::move(password)) {}

    bool ReadData(std::uint8_t* buffer, std::size_t size) override {
        return archive_.Read(buffer, static_cast<std::int64_t>(size)) == static_cast<std::int64_t>(size);
    }
    bool WriteOutput(const std::uint8_t* data, std::size_t size) override { return write_(data, size); }
    bool Progress(std::uint64_t bytesRead, std::uint64_t compressedSize) override {
        return progress_(bytesRead, compressedSize);
    }
    bool AskPassword(std::string& password) override { return password_(password); }

private:
    TStream& archive_;
    WriteFn write_;
    ProgressFn progress_;
    PasswordFn password_;
};

} // namespace

void TZABaseArchiver::DecodeEntry(std::int32_t ItemNo, TStream& Output) {
    if (!dirManager_ || ItemNo < 0 || ItemNo >= dirManager_->Items.Count())
        throw EZAException(neEntryIndexOutOfBounds, this);
    if (!archiveStream_)
        throw EZAException(neArchiveNotOpen, this);
    // A copy: the handlers called while decoding may not pull the entry from under us.
    const TDirItem item = dirManager_->Items.Item(ItemNo);
    TStream& archive = *archiveStream_;

    // A 64-bit offset at or past the end claims no bytes of the file, so no overlap test can catch it;
    // taken as a position it would read some other entry's data again.
    const std::uint64_t offset = item.FullLocalHeaderOffset();
    if (item.LocalHeaderOffset == 0xFFFFFFFFu && offset >= static_cast<std::uint64_t>(archive.Size()))
        throw EZAException(neBadEntryData, this);
    archive.SetPosition(static_cast<std::int64_t>(offset));
    std::uint8_t raw[TZALocalHeader::kSize];
    archive.ReadBuffer(raw, sizeof raw);
    const TZALocalHeader local = TZALocalHeader::Parse(raw);
    archive.Seek(std::int64_t{local.NameLength} + local.ExtraLength, TSeekOrigin::soCurrent);
    const std::int64_t dataStart = archive.Position();

    // Data never reaches into the central directory, whatever the entry claims.
    std::uint64_t compressedSize = item.FullCompressedSize();
    if (spanningMode_ == TZASpanningMode::smNone) {
        const std::int64_t room = std::max<std::int64_t>(0, dirManager_->DirectoryStart - dataStart);
        if (compressedSize > static_cast<std::uint64_t>(room))
            compressedSize = static_cast<std::uint64_t>(room);
    }

    skipFile_ = false;
    if (item.Method == 9)
        throw EZAException(neDeflate64);
    // Registered methods the component has no decoder for, and entries whose size was lost, are refused
    // before anything is read: their bytes are not the component's own block format.
    if (IsForeignUndecodedMethod(item.Method) || item.SizeUnknown)
        throw EZAException(neBadEntryData, this);
    // Bytes that another entry also claims are refused: that is how a tiny archive claims gigabytes.
    if (dirManager_->DataOverlapsAnother(ItemNo))
        throw EZAException(neBadEntryData, this);

    TZADecodeParams params;
    params.method = item.Method;
    params.versionNeeded = item.VersionNeeded;
    params.enciphered = (item.Flags & kFlagEncrypted) != 0;
    params.checkByte = PasswordCheckByte(local.Flags, local.ModTime, local.Crc32);
    params.compressedSize = compressedSize;
    params.uncompressedSize = item.FullUncompressedSize();

    const auto operation = static_cast<TZAProcessOperation>(item.Operation);
    const std::u16string progressName = NativeName(item.Name);
    TComponentDecodeHost host(
        archive,
        [&](const std::uint8_t* data, std::size_t size) {
            return WriteFully(Output, data, static_cast<std::int64_t>(size));
        },
        [&](std::uint64_t bytesRead, std::uint64_t size) {
            if (progressEnabled_) {
                const double part = static_cast<double>(bytesRead) / static_cast<double>(size);
                FireFileProgress(progressName, part * 100.0, operation, TZAProgressPhase::ppProcess);
                const bool cancelled = cancel_;
                const double overall =
                    selectedCount_ > 0 ? (part + processedCount_) / selectedCount_ * 100.0 : part * 100.0;
                FireOverallProgress(overall, operation, TZAProgressPhase::ppProcess);
                cancel_ = cancel_ || cancelled;
            }
            return cancel_;
        },
        [&](std::string& password) {
            FirePassword(item.Name, password);
            return !skipFile_;
        });
    const TZADecodeResult result = DecodeEntryData(params, Password, host);

    bool failed = result.status == dsFailed || result.status == dsSkipped;
    if (!failed) {
        if (params.uncompressedSize != result.bytesWritten)
            failed = true;
        else if (!skipFile_ && result.crc != item.Crc32)
            failed = true;
    }
    if (failed && !cancel_ && !ExtractCorruptedFiles && !skipFile_)
        throw EZAException(neBadEntryData, this);
}

bool TZABaseArchiver::WriteFully(TStream& Output, const void* Buffer, std::int64_t Count) {
    for (;;) {
        const std::int64_t position = Output.Position();
        if (Output.Write(Buffer, Count) == Count)
            return true;
        bool cancel = true;
        if (OnDiskFull) {
            cancel = false;
            try {
                OnDiskFull(*this, 0, FileName, cancel);
            } catch (...) {
                // A handler's failure must not take the run down; its answer so far stands.
            }
        }
        if (cancel) {
            cancel_ = true;
            if (Output.OutOfSpace())
                lastRunOutcome_ = TZARunOutcome::roDiskFull;
            return false;
        }
        Output.SetPosition(position);
    }
}

void TZABaseArchiver::FireOverallProgress(double progress, TZAProcessOperation operation,
                                          TZAProgressPhase phase) {
    if (OnOverallProgress)
        OnOverallProgress(*this, progress, operation, phase, cancel_);
    else
        cancel_ = false;
}

void TZABaseArchiver::FireFileProgress(const std::u16string& fileName, double progress,
                                       TZAProcessOperation operation, TZAProgressPhase phase) {
    if (OnFileProgress)
        OnFileProgress(*this, fileName, progress, operation, phase, cancel_);
    else
        cancel_ = false;
}

TZAAction TZABaseArchiver::FireProcessFileFailure(const std::u16string& fileName,
                                                  TZAProcessOperation operation, const EZAException& error) {
    TZAAction action = TZAAction::faIgnore;
    const std::u16string message = Utf8ToWide(error.Message());
    if (OnProcessFileFailure) {
        OnProcessFileFailure(*this, fileName, operation, error.NativeError, error.ErrorCode, message, action);
        return action;
    }
    if (error.NativeError == neVolumeCancelled)
        return TZAAction::faAbort;
    TZADialogAnswer answer = daClosed;
    if (DialogProvider) {
        if (error.NativeError == neAddingCancelled)
            answer = DialogProvider->ShowFailureDialog(error.Message(), fbAbortIgnore);
        else
            answer = DialogProvider->ShowFailureDialog(
                error.Message() + ". File processing error, possibly disk is full", fbAbortRetryIgnore);
    }
    switch (answer) {
    case daRetry:
        return TZAAction::faRetry;
    case daIgnore:
        return TZAAction::faIgnore;
    default:
        return TZAAction::faAbort;
    }
}

bool TZABaseArchiver::FireConfirmOverwrite(const std::u16string& fileName, std::u16string& destFileName) {
    bool confirm = true;
    if (OnConfirmOverwrite) {
        OnConfirmOverwrite(*this, fileName, destFileName, confirm);
        return confirm;
    }
    const std::string text =
        "Overwrite file \"" + WideToUtf8(destFileName) + "\" with \"" + WideToUtf8(fileName) + "\"";
    const TZADialogAnswer answer = DialogProvider ? DialogProvider->ShowOverwriteDialog(text) : daClosed;
    switch (answer) {
    case daYes:
        return true;
    case daNoToAll:
        Options.OverwriteMode = TZAOverwriteMode::omNever;
        return false;
    case daYesToAll:
        Options.OverwriteMode = TZAOverwriteMode::omAlways;
        return true;
    default:
        return false;
    }
}

void TZABaseArchiver::FirePassword(const std::u16string& storedName, std::string& password) {
    if (OnPassword) {
        OnPassword(*this, storedName, password, skipFile_);
        return;
    }
    std::optional<std::string> typed;
    if (DialogProvider) {
        // The caption shows the name as the ANSI code page has it.
        const std::string caption = "Password for \"" + WideToUtf8(AnsiToWide(WideToAnsi(storedName))) + "\"";
        typed = DialogProvider->ShowPasswordDialog(caption, "Enter password: ", password);
    }
    if (typed) {
        password = *typed;
        skipFile_ = false;
    } else {
        skipFile_ = true;
    }
}

} // namespace pc
