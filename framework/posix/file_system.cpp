// The archive component's file system on POSIX. UTF-8 names are the kernel's own; share modes do not
// exist here, so only the access part of an open takes effect.
#include "framework/file_system.h"

#include "framework/posix/file_io.h"
#include "framework/posix/removable_media.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace pc::fsys {
namespace {

int Fd(const TFile& file) {
    return static_cast<int>(file.Get());
}

} // namespace

bool TFile::Close() {
    if (handle_ == kNone)
        return true;
    return ::close(static_cast<int>(std::exchange(handle_, kNone))) == 0;
}

TFile OpenExisting(const std::string& name, TAccess access, TShare) {
    int flags = O_CLOEXEC;
    switch (access) {
    case TAccess::Write:
        flags |= O_WRONLY;
        break;
    case TAccess::ReadWrite:
        flags |= O_RDWR;
        break;
    case TAccess::Read:
        flags |= O_RDONLY;
        break;
    }
    TFile file(::open(name.c_str(), flags));
    struct stat st {};
    if (file.Valid() && (::fstat(Fd(file), &st) != 0 || S_ISDIR(st.st_mode)))
        return TFile();
    return file;
}

TFile CreateAlways(const std::string& name, TShare) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !IsDirectory(name))
        ::unlink(name.c_str());
    return TFile(::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
}

TFile CreateNew(const std::string& name, bool& existed) {
    TFile file(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    existed = !file.Valid() && errno == EEXIST;
    return file;
}

TFile CreateNewPrivate(const std::string& name, bool& existed) {
    TFile file(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    existed = !file.Valid() && errno == EEXIST;
    return file;
}

std::int64_t ReadAt(const TFile& file, void* buffer, std::int64_t count, std::int64_t offset) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    return posix::TransferFully(count, [&](std::int64_t at) {
        return ::pread(Fd(file), out + at, static_cast<std::size_t>(count - at), offset + at);
    });
}

std::int64_t WriteAt(const TFile& file, const void* buffer, std::int64_t count, std::int64_t offset,
                     bool* outOfSpace) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    errno = 0;
    const std::int64_t written = posix::TransferFully(count, [&](std::int64_t at) {
        return ::pwrite(Fd(file), in + at, static_cast<std::size_t>(count - at), offset + at);
    });
    if (outOfSpace != nullptr)
        *outOfSpace = written < count && (errno == ENOSPC || errno == EDQUOT);
    return written;
}

std::int64_t SizeOf(const TFile& file) {
    struct stat st {};
    if (::fstat(Fd(file), &st) != 0)
        return 0;
    return st.st_size;
}

bool Truncate(const TFile& file, std::int64_t size) {
    return ::ftruncate(Fd(file), static_cast<off_t>(size)) == 0;
}

bool FlushToDevice(const TFile& file) {
    return ::fsync(Fd(file)) == 0;
}

bool SetLastWriteTime(const TFile& file, std::time_t when) {
    const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    return ::futimens(Fd(file), times) == 0;
}

bool IsOnRemovableMedia(const TFile& file, const std::string&) {
    struct stat st {};
    if (::fstat(Fd(file), &st) != 0)
        return false;
    // A device does not change its kind while an update writes to it: sysfs is asked once per device,
    // not once for each of thousands of small files.
    static std::mutex mutex;
    static std::map<dev_t, bool> answers;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (auto found = answers.find(st.st_dev); found != answers.end())
            return found->second;
    }
    const bool removable = posix::IsRemovableBlockDevice(::major(st.st_dev), ::minor(st.st_dev));
    std::lock_guard<std::mutex> lock(mutex);
    answers.emplace(st.st_dev, removable);
    return removable;
}

bool SetEntryAttributes(const TFile& file, const std::string&, std::uint32_t unixMode, std::uint32_t) {
    return ::fchmod(Fd(file), static_cast<mode_t>(unixMode)) == 0;
}

bool ReplaceByRename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::optional<std::uint32_t> PermissionsOf(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<std::uint32_t>(st.st_mode & 0777);
}

const char* NameSeparators() {
    return "/";
}

bool IsDirectory(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsNonDirectory(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CanOpenForReadWrite(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool IsReadOnly(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

bool RemoveNonDirectory(const std::string& name) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    return ::unlink(name.c_str()) == 0;
}

bool MakeDirectory(const std::string& name) {
    return ::mkdir(name.c_str(), 0777) == 0;
}

bool RemoveEmptyDirectory(const std::string& name) {
    return ::rmdir(name.c_str()) == 0;
}

std::optional<std::time_t> LastWriteTime(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mtime;
}

std::vector<std::string> ListDirectory(const std::string& name, bool* read) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(name.empty() ? "." : name.c_str()), &::closedir);
    if (read != nullptr)
        *read = listing != nullptr;
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            names.push_back(entryName);
    }
    return names;
}

bool LocalTime(std::time_t when, std::tm& local) {
    return localtime_r(&when, &local) != nullptr;
}

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr)
        return std::string();
    return buffer.data();
}

std::optional<std::int64_t> FreeSpace(const std::string& directory) {
    struct statvfs st {};
    if (::statvfs(directory.c_str(), &st) != 0)
        return std::nullopt;
    // Blocks available to unprivileged users: the reserve is not the player's to fill.
    const auto bytes = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
    return static_cast<std::int64_t>(std::min<unsigned long long>(bytes, INT64_MAX));
}

} // namespace pc::fsys

namespace pc::posix {
namespace {

bool ReadsOne(const std::string& file) {
    std::ifstream in(file);
    char c = 0;
    return in.get(c) && c == '1';
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

} // namespace

bool IsRemovableBlockDevice(unsigned major, unsigned minor, const std::string& sysRoot) {
    const std::string device = sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    if (Exists(device + "/removable"))
        return ReadsOne(device + "/removable");
    // A partition has no flag of its own; its disk is the directory above it.
    if (Exists(device + "/partition"))
        return ReadsOne(device + "/../removable");
    return false;
}

bool IsOnRemovableMedia(const std::string& path, const std::string& sysRoot) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return IsRemovableBlockDevice(::major(st.st_dev), ::minor(st.st_dev), sysRoot);
}

} // namespace pc::posix
