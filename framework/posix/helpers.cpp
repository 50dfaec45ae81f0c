// The file helpers on POSIX: names are the bytes the kernel takes, '/' separates them.
#include "framework/helpers.h"

#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pc {

std::string ExecutablePath() {
    // The kernel's own record of the running image; no length limit beyond the system's.
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return std::string();
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

std::string PathPart(const std::string& name) {
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

std::string NamePart(const std::string& name) {
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsExistingFile(const std::string& name) {
    // The literal name, following links; any modification time counts (files stamped at the epoch by
    // reproducible builds exist all the same).
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

bool IsLinkOrSpecialFile(const std::string& name) {
    struct stat st {};
    if (name.empty() || ::lstat(name.c_str(), &st) != 0)
        return false;
    return !S_ISREG(st.st_mode) || st.st_nlink > 1;
}

std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.empty() ? "." : directory.c_str()),
                                                &::closedir);
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 && IsExistingFile(directory + name))
            names.push_back(name);
    }
    return names;
}

bool FileIdentityOf(const std::string& name, TFileIdentity& identity) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    identity.device = static_cast<std::uint64_t>(st.st_dev);
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
    identity.size = static_cast<std::int64_t>(st.st_size);
    identity.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool EnsureFolderOf(const std::string& name) {
    const std::string folder = PathPart(name);
    if (folder.empty())
        return true;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    return ::mkdir(folder.c_str(), 0777) == 0;
}

bool RemoveFile(const std::string& name) {
    return !name.empty() && ::unlink(name.c_str()) == 0;
}

} // namespace pc
