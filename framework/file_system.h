// The file system as the archive component uses it. Names are UTF-8 (the archive's wide names converted
// without loss); each platform hands them to its own file functions (UTF-16 ones on Windows). Either
// separator, '/' or the platform's own, may be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pc::fsys {

// An open file, closed when its owner goes out of scope.
class TFile {
public:
    TFile() = default;
    explicit TFile(std::intptr_t handle) : handle_(handle) {}
    TFile(TFile&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
    TFile& operator=(TFile&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, kNone);
        }
        return *this;
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    ~TFile() { Close(); }

    bool Valid() const { return handle_ != kNone; }
    std::intptr_t Get() const { return handle_; }
    // Closes now and reports whether the system accepted the close.
    bool Close();

    static constexpr std::intptr_t kNone = -1;

private:
    std::intptr_t handle_ = kNone;
};

enum class TAccess { Read, Write, ReadWrite };
// What other openers may do meanwhile, where the platform enforces it (Windows does; POSIX has no
// mandatory share modes).
enum class TShare { Exclusive, DenyWrite, DenyRead, DenyNone };

// An existing file that is not a directory; invalid when it cannot be opened.
TFile OpenExisting(const std::string& name, TAccess access, TShare share);
// A file created anew or truncated, for reading and writing. A symbolic link in its place is removed,
// never followed, unless it leads to a directory. Invalid when it cannot be made.
TFile CreateAlways(const std::string& name, TShare share);

// A file that must not exist yet, for reading and writing, that nobody else may open meanwhile; never
// opened through a symbolic link. Invalid when it cannot be made; `existed` then tells whether something
// of that name was in the way.
TFile CreateNew(const std::string& name, bool& existed);
// The same, readable and writable by its owner alone (mode 0600; on Windows an access list that grants the
// owner alone and inherits nothing), from the moment it exists: for secrets such as a signing key.
TFile CreateNewPrivate(const std::string& name, bool& existed);

// Transfers at an offset; each moves as many bytes as it can and returns that count (short at the end of
// the file, on a full disk or on an error). `outOfSpace`, when given, tells whether a short write met a
// full disk or quota.
std::int64_t ReadAt(const TFile& file, void* buffer, std::int64_t count, std::int64_t offset);
std::int64_t WriteAt(const TFile& file, const void* buffer, std::int64_t count, std::int64_t offset,
                     bool* outOfSpace = nullptr);
std::int64_t SizeOf(const TFile& file); // 0 when it cannot be told
bool Truncate(const TFile& file, std::int64_t size);
bool FlushToDevice(const TFile& file);
bool SetLastWriteTime(const TFile& file, std::time_t when); // creation and access times untouched
// Whether the open file `name` lies on removable media (a stick or a floppy), so that it is flushed.
bool IsOnRemovableMedia(const TFile& file, const std::string& name);
// The attributes an extracted file gets from its entry: `unixMode` where files carry permission bits,
// the entry's DOS attribute bits (read-only, hidden, system, archive) where they carry those.
bool SetEntryAttributes(const TFile& file, const std::string& name, std::uint32_t unixMode,
                        std::uint32_t dosAttributes);

// Renames `from` over `to` in one step, replacing a file there. On Windows a read-only target is replaced
// as well, and a running program in the way is moved aside first (see RemoveNonDirectory).
bool ReplaceByRename(const std::string& from, const std::string& to);
// The permission bits of the regular file `name` names (through a link), where files carry them.
std::optional<std::uint32_t> PermissionsOf(const std::string& name);
// The characters that separate the parts of a name: "/" on POSIX, "\\/" on Windows.
const char* NameSeparators();

bool IsDirectory(const std::string& name);
bool IsNonDirectory(const std::string& name); // exists and is not a directory (links followed)
bool CanOpenForReadWrite(const std::string& name);
// Whether every write permission is off, or the read-only attribute is set.
bool IsReadOnly(const std::string& name);
// Removes a file or a symbolic link, never a directory; a read-only file goes as well. On Windows a file
// that cannot be deleted but may be renamed (a running program) is moved aside under a name of its own
// beside it, so that its name is free; RemoveLeftovers deletes such files once nothing runs them.
bool RemoveNonDirectory(const std::string& name);

// A file written beside `target` that takes the target's place only once it is complete. Its name (if it
// has one yet) is one that no archive entry can be extracted to, so it can never be taken for a file a
// patch brought, nor a patch's file for it; what a killed run left is known by the name alone. `name`
// receives the name, empty while the file has none (Linux, where it is made unnamed). Invalid when it
// cannot be made.
TFile CreateTemporaryBeside(const std::string& target, std::string& name);
// Gives the complete temporary the target's name in one step, replacing a file there (as
// ReplaceByRename), and closes it. False when the close or the rename fails: the temporary is then gone
// and the target untouched. `name` is empty afterwards either way.
bool PlaceTemporary(TFile& file, std::string& name, const std::string& target);
// Closes and removes a temporary that is not to be placed.
void DiscardTemporary(TFile& file, std::string& name) noexcept;
// Whether a file name (without its directory) is one that CreateTemporaryBeside gives.
bool IsTemporaryName(const std::string& fileName);
// Deletes, in `directory` and every directory below it (links to directories are not followed), the
// temporaries that killed runs left and what RemoveNonDirectory moved aside, where it can. Only a caller
// that holds the installation lock may do so: another update's temporaries would go as well.
void RemoveLeftovers(const std::string& directory);
// How temporaries are made where the platform has more than one way: unnamed until placed (Linux
// O_TMPFILE), or under a name of their own from the start, which is what a file system without unnamed
// files gets. Tests force the named way; the system's is used otherwise.
enum class TTemporaryMethod { System, Named };
void SetTemporaryMethod(TTemporaryMethod method);

// The permission bits this process's new files do not get: the umask on POSIX, read once when the
// program starts (it is process-wide, and setting it to read it would race with other threads), 0 where
// files carry no permission bits.
std::uint32_t CreationMask();
bool MakeDirectory(const std::string& name); // one level; an existing directory is not success
// Removes the directory `name` when it is empty; never a link to one. False when it is not there, holds
// something or cannot be removed.
bool RemoveEmptyDirectory(const std::string& name);
std::optional<std::time_t> LastWriteTime(const std::string& name);
// The names in a directory, without "." and ".."; none when it cannot be read (`read`, when given, tells
// which).
std::vector<std::string> ListDirectory(const std::string& name, bool* read = nullptr);
// `when` in the process's local time zone; false when it has no such form.
bool LocalTime(std::time_t when, std::tm& local);
// The process's current directory, ending without a separator; empty when it cannot be had.
std::string CurrentDirectory();
// The bytes that this process may still write on the file system that holds `directory` (what a quota or
// the space kept for the system leaves it); none when the system cannot tell.
std::optional<std::int64_t> FreeSpace(const std::string& directory);

// The longest full name the platform's file functions take, in bytes of UTF-8.
std::size_t LongestPath();

// How a directory beneath a base directory was reached.
enum class TBeneath {
    Inside,  // the directory is there (made if need be), and every step to it stayed beneath the base
    Outside, // a symbolic link (or reparse point) on the way leads out of the base: nothing made past it
    Failed,  // a directory could not be made (a file in its place, a name too long, no permission)
};

// Makes the directory `relative` (parts separated by '/', without "." or ".." parts; empty for the base
// itself) beneath `base`, with every missing directory above it, never leaving `base`: a link that already
// exists inside the installation is followed while it stays inside, and one that leads out stops the walk
// before anything is made through it. Memory is linear in the name.
TBeneath MakeDirectoriesBeneath(const std::string& base, const std::string& relative);

// How the resolution beneath the base is done where the platform has more than one way: the system's own
// confined lookup (Linux openat2 with RESOLVE_BENEATH) when it has one, or walking the name one part at a
// time without following any link blindly. Tests force the walk; the system's lookup is used otherwise,
// and the walk takes over by itself where the kernel lacks it.
enum class TBeneathMethod { System, ComponentWalk };
void SetBeneathMethod(TBeneathMethod method);

} // namespace pc::fsys
