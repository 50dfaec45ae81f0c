// Temporaries that replace files, and the process's umask. Linux makes a temporary unnamed (O_TMPFILE) in
// its target's directory, so that nothing of it is seen, and nothing is left by a crash, until it is
// complete; only then is it linked in, and renamed over the target at once. Where the file system makes no
// unnamed files it is named ".pc-part\" and 16 hexadecimal digits from the start. Entry names take '\' for
// a separator, so no entry is ever extracted to a name holding one: a name of that form is always a
// temporary, and whatever a killed run left is found by its name alone.
#include "framework/file_system.h"
#include "framework/helpers.h"

#include "framework/posix/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace pc::fsys {
namespace {

using posix::UniqueFd;

constexpr std::string_view kTemporaryPrefix = ".pc-part\\";
constexpr int kNameAttempts = 100;

std::atomic<bool> gForceNamed{false};

// Read before main, while no other thread can be creating files: the umask can only be read by setting
// it, where /proc/self/status (Linux 4.7 and later) does not show it.
mode_t UmaskAtStart() {
    UniqueFd status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (status.Valid()) {
        char text[4096];
        std::size_t length = 0;
        for (ssize_t got = 1; got > 0 && length < sizeof text - 1; length += static_cast<std::size_t>(got)) {
            got = ::read(status.Get(), text + length, sizeof text - 1 - length);
            if (got < 0)
                break;
        }
        text[length] = '\0';
        const std::string_view all(text, length);
        const std::size_t at = all.find("\nUmask:");
        if (at != std::string_view::npos)
            return static_cast<mode_t>(std::strtoul(text + at + 7, nullptr, 8) & 0777);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

const mode_t gUmask = UmaskAtStart();

// Whether an open descriptor can be named through /proc, which linking an unnamed file needs.
bool CanLinkUnnamedFiles() {
    static const bool answer = ::access("/proc/self/fd", X_OK) == 0;
    return answer;
}

std::string DirectoryPartOf(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    return slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
}

std::string FreshTemporaryName(const std::string& target) {
    return DirectoryPartOf(target) + std::string(kTemporaryPrefix) + RandomHexDigits(16);
}

} // namespace

void SetTemporaryMethod(TTemporaryMethod method) {
    gForceNamed = method == TTemporaryMethod::Named;
}

std::uint32_t CreationMask() {
    return static_cast<std::uint32_t>(gUmask);
}

TFile CreateTemporaryBeside(const std::string& target, std::string& name) {
    name.clear();
    if (!gForceNamed && CanLinkUnnamedFiles()) {
        const std::string directory = DirectoryPartOf(target);
        TFile unnamed(
            ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
        if (unnamed.Valid())
            return unnamed;
        // A file system without unnamed files; any other refusal comes again, and is answered, below.
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = FreshTemporaryName(target);
        TFile file(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.Valid())
            return file;
        if (errno != EEXIST)
            break;
    }
    name.clear();
    return TFile();
}

bool PlaceTemporary(TFile& file, std::string& name, const std::string& target) {
    if (!file.Valid()) {
        DiscardTemporary(file, name);
        return false;
    }
    if (name.empty()) {
        // A free name takes the complete file in one step. A link cannot replace a file, so where the
        // name is taken the file is linked under a temporary's name first and renamed from there: a crash
        // in between leaves a name that the next run removes.
        const std::string self = "/proc/self/fd/" + std::to_string(file.Get());
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            // A failed close can mean the data never reached the file; the name was free, so nothing
            // is lost by taking it back.
            if (file.Close())
                return true;
            ::unlink(target.c_str());
            return false;
        }
        if (errno != EEXIST) {
            file.Close();
            return false;
        }
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            name = FreshTemporaryName(target);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                break;
            name.clear();
            if (errno != EEXIST)
                break;
        }
        if (name.empty()) {
            file.Close();
            return false;
        }
    }
    // A failed close can mean the data never reached the file: then the old file is the better one.
    const bool placed = file.Close() && ::rename(name.c_str(), target.c_str()) == 0;
    if (!placed)
        ::unlink(name.c_str());
    name.clear();
    return placed;
}

void DiscardTemporary(TFile& file, std::string& name) noexcept {
    file.Close();
    if (!name.empty())
        ::unlink(name.c_str());
    name.clear();
}

bool IsTemporaryName(const std::string& fileName) {
    return fileName.size() > kTemporaryPrefix.size() &&
           fileName.compare(0, kTemporaryPrefix.size(), kTemporaryPrefix) == 0;
}

void RemoveLeftovers(const std::string& directory) {
    // Directories still to visit, by their full names: a descriptor held per level would run out on a
    // deep tree. The top may be a link (the caller's choice of installation); nothing below it is
    // followed.
    std::vector<std::string> pending{directory.empty() ? std::string(".") : directory};
    bool top = true;
    while (!pending.empty()) {
        std::string current = std::move(pending.back());
        pending.pop_back();
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (top ? 0 : O_NOFOLLOW);
        top = false;
        UniqueFd fd(::open(current.c_str(), flags));
        if (!fd.Valid())
            continue;
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd.Get()), &::closedir);
        if (!listing)
            continue;
        const int dirFd = fd.Release(); // the listing owns it now
        if (current.back() != '/')
            current += '/';
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            }
            if (type == DT_DIR)
                pending.push_back(current + entry->d_name);
            else if (IsTemporaryName(entry->d_name))
                ::unlinkat(dirFd, entry->d_name, 0);
        }
    }
}

} // namespace pc::fsys
