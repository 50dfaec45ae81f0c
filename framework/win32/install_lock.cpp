// The installation lock on Windows: the lock file open for writing with no sharing. While the handle is
// open nobody else can open the file to read, write or delete it, and the system closes it when its
// holder ends, however it ends. The file is made with an owner-only access list that inherits nothing:
// sharing alone would not do, since anyone who may read a file can keep everyone else from opening it by
// opening it without sharing, and only this user may open this file at all.
#include "framework/install_lock.h"

#include "framework/win32/win32_support.h"

#include <cstdint>
#include <vector>

namespace pc {
namespace {

// Security attributes that give this process's user every right to a new file and nobody else any.
class OwnerOnlySecurity {
public:
    OwnerOnlySecurity() {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        const win32::UniqueHandle owned(token);
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        if (size == 0)
            return;
        user_.resize(size);
        if (!::GetTokenInformation(token, TokenUser, user_.data(), size, &size))
            return;
        const PSID sid = reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid;
        const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
        acl_.resize(aclSize);
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        if (!::InitializeAcl(acl, aclSize, ACL_REVISION) ||
            !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
            !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
            !::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return;
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
        valid_ = true;
    }
    OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
    OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

    // Null (the directory's inherited rights) when the list could not be made.
    SECURITY_ATTRIBUTES* Get() { return valid_ ? &attributes_ : nullptr; }

private:
    std::vector<std::uint64_t> user_; // TOKEN_USER, aligned for its pointer
    std::vector<std::uint64_t> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool valid_ = false;
};

} // namespace

TInstallationLock::TInstallationLock(std::string directory, bool mayCreate)
    : directory_(std::move(directory)), mayCreate_(mayCreate) {}

TInstallationLock::~TInstallationLock() {
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_)); // closing the only handle releases the lock
}

bool TInstallationLock::TryAcquire() {
    if (held_)
        return true;
    std::wstring path = win32::ToWide(directory_, CP_ACP);
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    path += win32::ToWide(kInstallationLockFileName, CP_ACP);
    OwnerOnlySecurity security;
    // A link put in its place is opened as itself, and refused below.
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.Get(),
                                           mayCreate_ ? OPEN_ALWAYS : OPEN_EXISTING,
                                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    constexpr DWORD kNotAFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    if (!file.Valid()) {
        if (::GetLastError() == ERROR_SHARING_VIOLATION)
            return false; // another update holds it
        if (const DWORD there = ::GetFileAttributesW(path.c_str());
            there != INVALID_FILE_ATTRIBUTES && (there & kNotAFile) != 0)
            throw ENotARegularLock();
        held_ = true; // no lock to be had (a user who may not write here): behave as always
        return true;
    }
    // Opened without sharing, the file cannot be renamed over or deleted while it is held, so the name
    // leads to the locked file for as long as the lock lasts.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.Get(), &information)) {
        held_ = true;
        return true;
    }
    if ((information.dwFileAttributes & kNotAFile) != 0)
        throw ENotARegularLock();
    handle_ = reinterpret_cast<std::intptr_t>(file.Release()); // closed by the destructor
    held_ = true;
    return true;
}

} // namespace pc
