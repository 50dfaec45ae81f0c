// A private file on Windows: made new, with an access list that names its owner alone and takes nothing
// from its folder.
#include "framework/file_system.h"
#include "framework/win32/win32_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <filesystem>
#include <vector>

namespace {

using pc::test::TempDir;

// The SID of the user this process runs as, in its own buffer.
std::vector<unsigned char> CurrentUser() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return {};
    const pc::win32::UniqueHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size))
        return {};
    return buffer;
}

// Checks that `descriptor` is protected and its access list is exactly one entry: full access for the user.
void ExpectOwnerOnly(PSECURITY_DESCRIPTOR descriptor, PACL dacl) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the folder's access list must not be inherited";
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &ace));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
    const std::vector<unsigned char> user = CurrentUser();
    ASSERT_FALSE(user.empty());
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                           reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid));
}

// Wine keeps a file's access list only as far as Unix permission bits can say it.
bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(Win32PrivateFile, TheDescriptorGrantsTheOwnerAlone) {
    const pc::win32::LocalMemory<void> descriptor = pc::win32::OwnerOnlySecurity();
    ASSERT_TRUE(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    ExpectOwnerOnly(descriptor.get(), dacl);
}

TEST(Win32PrivateFile, MadeOnlyWhereNothingIsWithThatDescriptor) {
    TempDir dir;
    const std::string name = dir / "key.pem";
    bool existed = true;
    pc::fsys::TFile file = pc::fsys::CreateNewPrivate(name, existed);
    ASSERT_TRUE(file.Valid());
    EXPECT_FALSE(existed);
    ASSERT_TRUE(file.Close());
    pc::fsys::TFile again = pc::fsys::CreateNewPrivate(name, existed);
    EXPECT_FALSE(again.Valid());
    EXPECT_TRUE(existed);

    if (UnderWine())
        GTEST_SKIP() << "Wine does not keep the access list a file is created with";
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(std::filesystem::path(name).wstring().c_str(), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &raw),
              static_cast<DWORD>(ERROR_SUCCESS));
    const pc::win32::LocalMemory<void> descriptor(raw);
    ExpectOwnerOnly(descriptor.get(), dacl);
}

} // namespace
