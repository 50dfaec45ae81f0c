// Directories made beneath the installation without ever leaving it. openat2 with RESOLVE_BENEATH lets
// the kernel confine every lookup, links included; where the kernel lacks it (before Linux 5.6) each part
// is opened with O_NOFOLLOW and a link's text is resolved here against the parts walked so far.
#include "framework/file_system.h"

#include "framework/posix/unique_fd.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace pc::fsys {
namespace {

using posix::UniqueFd;

std::atomic<bool> gForceWalk{false};
std::atomic<bool> gNoOpenat2{false}; // the kernel said ENOSYS once: no use asking again

constexpr int kMaxLinkHops = 40; // as the kernel allows

int OpenBeneath(int root, const char* path) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, root, path, &how, sizeof how));
}

// The kernel's confined lookup. Returns false (with `result` untouched) when the kernel has no openat2.
bool MakeWithOpenat2(int root, const std::string& relative, TBeneath& result) {
    UniqueFd whole(OpenBeneath(root, relative.c_str()));
    if (whole.Valid()) {
        result = TBeneath::Inside; // the usual case: the chain is there already
        return true;
    }
    if (errno == ENOSYS) {
        gNoOpenat2 = true;
        return false;
    }
    if (errno != ENOENT) {
        result = errno == EXDEV ? TBeneath::Outside : TBeneath::Failed;
        return true;
    }
    // One buffer each for the prefix and the part: nothing per level is kept.
    std::string prefix;
    std::string part;
    prefix.reserve(relative.size());
    UniqueFd parent(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        part.assign(relative, start, end - start);
        prefix.assign(relative, 0, end);
        start = end + 1;
        if (part.empty())
            continue;
        UniqueFd next(OpenBeneath(root, prefix.c_str()));
        if (!next.Valid() && errno == ENOENT) {
            // Made inside the directory already resolved beneath the base; then looked up again, beneath.
            if (::mkdirat(parent.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
                result = TBeneath::Failed;
                return true;
            }
            next.Reset(OpenBeneath(root, prefix.c_str()));
        }
        if (!next.Valid()) {
            result = errno == EXDEV ? TBeneath::Outside : TBeneath::Failed;
            return true;
        }
        parent = std::move(next);
    }
    result = TBeneath::Inside;
    return true;
}

int OpenPart(int directory, const std::string& part) {
    return ::openat(directory, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The walk of the parts walked so far, from the base: each is a real directory, not a link.
UniqueFd Reopen(int root, const std::vector<std::string>& walked) {
    UniqueFd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (const std::string& part : walked) {
        UniqueFd next(OpenPart(current.Get(), part));
        if (!next.Valid())
            return UniqueFd();
        current = std::move(next);
    }
    return current;
}

TBeneath MakeByWalking(int root, const std::string& relative) {
    std::vector<std::string> walked; // the real directories from the base to `current`
    UniqueFd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    std::string rest = relative;
    std::string part;
    int hops = 0;
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        part.assign(rest, start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") { // only a link's text brings these
            if (walked.empty())
                return TBeneath::Outside;
            walked.pop_back();
            current = Reopen(root, walked);
            if (!current.Valid())
                return TBeneath::Failed;
            continue;
        }
        UniqueFd next(OpenPart(current.Get(), part));
        if (!next.Valid() && errno == ENOENT) {
            if (::mkdirat(current.Get(), part.c_str(), 0777) != 0 && errno != EEXIST)
                return TBeneath::Failed;
            next.Reset(OpenPart(current.Get(), part));
        }
        if (next.Valid()) {
            walked.push_back(part);
            current = std::move(next);
            continue;
        }
        struct stat st {};
        if (::fstatat(current.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) ||
            ++hops > kMaxLinkHops)
            return TBeneath::Failed;
        std::vector<char> text(PATH_MAX);
        const ssize_t length = ::readlinkat(current.Get(), part.c_str(), text.data(), text.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= text.size())
            return TBeneath::Failed;
        if (text[0] == '/')
            return TBeneath::Outside; // an absolute link leaves the base whatever it names
        // The link's parts take its place, to be walked from the directory that holds it.
        rest = std::string(text.data(), static_cast<std::size_t>(length)) + "/" +
               (start < rest.size() ? rest.substr(start) : std::string());
        start = 0;
    }
    return TBeneath::Inside;
}

} // namespace

std::size_t LongestPath() {
    return PATH_MAX;
}

void SetBeneathMethod(TBeneathMethod method) {
    gForceWalk = method == TBeneathMethod::ComponentWalk;
}

TBeneath MakeDirectoriesBeneath(const std::string& base, const std::string& relative) {
    // A name no file function could take is refused before anything is made for it.
    if (base.size() + relative.size() >= LongestPath())
        return TBeneath::Failed;
    std::string directory = relative;
    while (!directory.empty() && directory.back() == '/')
        directory.pop_back();
    UniqueFd root(::open(base.empty() ? "." : base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.Valid())
        return TBeneath::Failed;
    if (directory.empty())
        return TBeneath::Inside;
    TBeneath result = TBeneath::Failed;
    if (!gForceWalk && !gNoOpenat2 && MakeWithOpenat2(root.Get(), directory, result))
        return result;
    return MakeByWalking(root.Get(), directory);
}

} // namespace pc::fsys
