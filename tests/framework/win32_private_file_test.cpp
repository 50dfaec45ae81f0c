// A private file on Windows: made new, with an access list that names its owner alone and inherits
// nothing from its folder.
#include "framework/file_system.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include <filesystem>
#include <memory>
#include <vector>

namespace {

using pc::test::TempDir;

struct LocalFreer {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

// The SID of the user this process runs as, in its own buffer.
std::vector<unsigned char> CurrentUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    const bool got = size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    ::CloseHandle(token);
    return got ? buffer : std::vector<unsigned char>();
}

TEST(Win32PrivateFile, NewWithAnAccessListForItsOwnerAlone) {
    TempDir dir;
    const std::string name = dir / "key.pem";
    bool existed = true;
    pc::fsys::TFile file = pc::fsys::CreateNewPrivate(name, existed);
    ASSERT_TRUE(file.Valid());
    EXPECT_FALSE(existed);
    ASSERT_TRUE(file.Close());

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(std::filesystem::path(name).wstring().c_str(), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &raw),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::unique_ptr<void, LocalFreer> descriptor(raw);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
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

    // Made only where nothing is.
    pc::fsys::TFile again = pc::fsys::CreateNewPrivate(name, existed);
    EXPECT_FALSE(again.Valid());
    EXPECT_TRUE(existed);
}

} // namespace
