#include "launcher/apply/disk_space.h"

#include "archive/dir_manager.h"
#include "archive/extract_names.h"
#include "archive/zip_archiver.h"
#include "archive/zip_records.h"
#include "framework/code_pages.h"
#include "framework/file_system.h"
#include "framework/helpers.h"
#include "launcher/apply/patch_extraction.h"

#include <algorithm>
#include <map>
#include <optional>

namespace pc {
namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

std::string SpaceText(std::int64_t neededBytes, std::int64_t freeBytes, const std::string& directory) {
    // Needed rounds up and free rounds down, so the numbers shown never say that it would have fitted.
    const std::int64_t needed = neededBytes / kMiB + (neededBytes % kMiB != 0 ? 1 : 0);
    return "Not enough disk space: " + std::to_string(needed) + " MiB needed, " +
           std::to_string(std::max<std::int64_t>(freeBytes, 0) / kMiB) + " MiB free [" + directory + "]";
}

// The file an entry is written to, below `base` (UTF-8, ending with a separator), or none when the name
// is a folder or one that the extraction refuses: the same rule decides both, so the estimate counts
// exactly the files that extraction writes.
std::optional<std::string> TargetOf(const std::string& base, std::u16string_view entryName) {
    if (IsUnsafeEntryName(entryName))
        return std::nullopt;
    std::string name = WideToUtf8(entryName);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty() || name.back() == '/')
        return std::nullopt;
    return base + name;
}

std::int64_t ExistingFileSize(const std::string& name) {
    if (!fsys::IsNonDirectory(name))
        return 0;
    const fsys::TFile file = fsys::OpenExisting(name, fsys::TAccess::Read, fsys::TShare::DenyNone);
    return file.Valid() ? fsys::SizeOf(file) : 0;
}

} // namespace

ENotEnoughSpace::ENotEnoughSpace(std::int64_t neededBytes, std::int64_t freeBytes,
                                 const std::string& directory)
    : Exception(SpaceText(neededBytes, freeBytes, directory)) {}

void RequireDiskSpace(const std::string& directory, std::int64_t bytes) {
    const std::optional<std::int64_t> free = fsys::FreeSpace(WideToUtf8(SystemToWide(directory)));
    if (!free)
        return;
    const std::int64_t needed = SaturatingAdd(std::max<std::int64_t>(bytes, 0), kDiskSpaceMargin);
    if (needed > *free)
        throw ENotEnoughSpace(needed, *free, directory);
}

std::int64_t ExtractionGrowth(const TZipArchiver& zip) {
    const TZADirManager* directory = zip.DirManager();
    if (directory == nullptr)
        return 0;
    std::string base = WideToUtf8(zip.BaseDir);
    if (!base.empty() && base.back() != '/' && base.back() != '\\')
        base += '/';
    // The size each name has on disk at this point of the extraction, once looked up.
    std::map<std::string, std::int64_t> sizes;
    std::int64_t growth = 0;
    std::int64_t peak = 0;
    const TZADirArray& items = directory->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i) {
        const TDirItem& item = items.Item(i);
        // Folders take no room; the reserved folder's deltas are decoded, not written as they are.
        if ((item.ExternalAttr & kAttrDirectory) || IsReservedEntry(item))
            continue;
        const auto bytes = static_cast<std::int64_t>(
            std::min<std::uint64_t>(item.FullUncompressedSize(), std::uint64_t{INT64_MAX}));
        const std::optional<std::string> target = TargetOf(base, item.Name);
        std::int64_t replaced = 0;
        if (target) {
            auto [at, added] = sizes.try_emplace(*target, 0);
            if (added)
                at->second = ExistingFileSize(*target);
            replaced = at->second;
            at->second = bytes;
        }
        // While the new file is written, the one it replaces is still there.
        peak = std::max(peak, SaturatingAdd(growth, bytes));
        growth = SaturatingAdd(growth, bytes - replaced);
        peak = std::max(peak, growth);
    }
    return peak;
}

} // namespace pc
