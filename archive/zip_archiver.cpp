#include "archive/zip_archiver.h"

#include "archive/code_pages.h"
#include "framework/file_system.h"

namespace pc {
namespace {

// The file-name part of an archive path: the text after the last separator.
std::u16string FileNamePart(const std::u16string& path) {
    std::size_t at = path.find_last_of(u"/\\");
    return at == std::u16string::npos ? path : path.substr(at + 1);
}

// Anything but a directory counts: a device or pipe under the archive's name is read, never truncated.
bool IsExistingFile(const std::string& path) {
    return fsys::IsNonDirectory(path);
}

// Whether the file can be opened for writing as well; a read-only file is then opened for reading only.
bool CanOpenForReadWrite(const std::string& path) {
    return fsys::CanOpenForReadWrite(path);
}

bool HasExeExtension(const std::u16string& path) {
    std::u16string name = FileNamePart(path);
    return name.size() >= 4 && WideLowerCase(name.substr(name.size() - 4)) == u".exe";
}

} // namespace

TZABaseArchiver::TZABaseArchiver() {
    volumeNumberInfo_.Reset();
}

TZABaseArchiver::~TZABaseArchiver() {
    Close();
}

void TZABaseArchiver::SetCompressionLevel(TZACompressionLevel level) {
    compressionLevel_ = level;
    switch (level) {
    case TZACompressionLevel::clNone:
        compressionMode_ = 0;
        break;
    case TZACompressionLevel::clFastest:
        compressionMode_ = 1;
        break;
    case TZACompressionLevel::clNormal:
        compressionMode_ = 6;
        break;
    case TZACompressionLevel::clMax:
        compressionMode_ = 9;
        break;
    }
}

void TZABaseArchiver::SetCompressionMode(int mode) {
    if (mode < 0 || mode > 9)
        throw EZAException(neBadCompressionMode, this);
    compressionMode_ = static_cast<std::uint8_t>(mode);
    if (mode == 0)
        compressionLevel_ = TZACompressionLevel::clNone;
    else if (mode <= 3)
        compressionLevel_ = TZACompressionLevel::clFastest;
    else if (mode <= 6)
        compressionLevel_ = TZACompressionLevel::clNormal;
    else
        compressionLevel_ = TZACompressionLevel::clMax;
}

void TZABaseArchiver::SetSpanningMode(TZASpanningMode mode) {
    if (isOpen_)
        throw Exception("Cannot set spanning mode on open archive");
    spanningMode_ = mode;
}

std::string TZABaseArchiver::FileNameUtf8() const {
    return WideToUtf8(FileName);
}

void TZABaseArchiver::Open() {
    if (!InMemory && FileNamePart(FileName).empty())
        throw EZAException(neBlankFileName, this);
    std::uint16_t mode;
    const std::string path = FileNameUtf8();
    if (InMemory || !IsExistingFile(path))
        mode = fmCreate;
    else if (CanOpenForReadWrite(path))
        mode = fmOpenReadWrite | fmShareDenyWrite;
    else
        mode = fmOpenRead | fmShareDenyNone;
    OpenInMode(mode);
}

void TZABaseArchiver::OpenInMode(std::uint16_t mode) {
    if (!InMemory && FileNamePart(FileName).empty())
        throw EZAException(neBlankFileNameInMode, this);
    const std::string path = FileNameUtf8();
    if (mode != fmCreate && !IsExistingFile(path) && spanningMode_ != TZASpanningMode::smSpanning)
        throw EZAException(neArchiveFileNotFound, {path}, this);
    if (mode != fmCreate && InMemory)
        throw EZAException(neInMemoryOnly, {path}, this);
    Close();
    openMode_ = mode;
    try {
        OpenArchive();
    } catch (...) {
        // Nothing of a failed open stays behind: the file is not held open until the next call.
        ReleaseArchive();
        throw;
    }
    isOpen_ = true;
    if (AfterOpen)
        AfterOpen(*this);
}

void TZABaseArchiver::OpenArchive() {
    if (openMode_ == fmCreate || InMemory)
        CreateArchive();
    else
        OpenExistingArchive();
}

void TZABaseArchiver::CreateArchive() {
    if (InMemory)
        archiveStream_ = std::make_unique<TMemoryStream>();
    else
        archiveStream_ = std::make_unique<TFileStream>(FileNameUtf8(), fmCreate);
    dirManager_ = std::make_unique<TZADirManager>(*archiveStream_);
    volumeNumberInfo_.SetFirst();
    if (!SFXStub.empty()) {
        TFileStream stub(WideToUtf8(SFXStub), fmOpenRead | fmShareDenyNone);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stub.Size()));
        stub.ReadBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        archiveStream_->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        dirManager_->PrefixSize = static_cast<std::int64_t>(bytes.size());
    }
}

void TZABaseArchiver::OpenExistingArchive() {
    spanningMode_ = TZASpanningMode::smNone;
    volumeNumberInfo_.Reset();
    archiveStream_ = std::make_unique<TFileStream>(FileNameUtf8(), openMode_);
    dirManager_ = std::make_unique<TZADirManager>(*archiveStream_);

    const std::int64_t endRecord = dirManager_->FindEndRecord();
    // A volume of a set (a non-zero disk number, or a self-extracting first volume without an end record)
    // needs its sibling files; such sets are refused instead of being asked for.
    if (endRecord >= 0 && dirManager_->FoundRecord.ThisDisk != 0 &&
        dirManager_->FoundRecord.ThisDisk != 0xFFFF)
        throw EZAException(neMultiVolume);
    if (endRecord < 0 && HasExeExtension(FileName))
        throw EZAException(neMultiVolume);
    if (endRecord < 0 && !recoverDamagedArchives_)
        throw EZAException(neNoEndRecord, this);

    TZALoadOptions options;
    options.OEMFileNames = Options.OEMFileNames;
    options.RecoverDamagedArchives = recoverDamagedArchives_;
    options.MultiVolume = spanningMode_ != TZASpanningMode::smNone;
    dirManager_->LoadDirectory(options);
}

void TZABaseArchiver::ReleaseArchive() noexcept {
    dirManager_.reset();
    archiveStream_.reset();
}

void TZABaseArchiver::Close() noexcept {
    if (isOpen_) {
        try {
            // A newly created archive gets at least its end record, so that it is a valid empty archive.
            if (archiveStream_ && dirManager_ && archiveStream_->Size() == 0)
                dirManager_->SaveEmptyDirectory();
        } catch (...) {
        }
        isOpen_ = false;
    }
    ReleaseArchive();
}

} // namespace pc
