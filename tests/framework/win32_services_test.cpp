// The framework's services on Windows itself: code pages, locale comparison, the registry, the output
// file's sharing and error codes, the atomic replacement and the installation lock.
#include "framework/code_pages.h"
#include "framework/exceptions.h"
#include "framework/file_io.h"
#include "framework/install_lock.h"
#include "framework/output_file.h"
#include "framework/process.h"
#include "framework/registry.h"
#include "tests/support/temp_dir.h"
#include "tests/support/win32_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sddl.h>
#include <set>
#include <string>
#include <vector>

namespace {

using pc::test::HeldFile;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

#define SKIP_WITHOUT_WESTERN_CODE_PAGES()                                                                    \
    if (!pc::test::HasWesternCodePages())                                                                    \
    GTEST_SKIP() << "the expectations are those of ANSI 1252 and OEM 437; this system has " << ::GetACP()    \
                 << "/" << ::GetOEMCP()

TEST(Win32CodePages, AnsiAndOemAsTheLinuxTablesHaveThem) {
    SKIP_WITHOUT_WESTERN_CODE_PAGES();
    EXPECT_EQ(pc::AnsiToWide("\x80\x81\x8D\x9F\xA0\xE9\xFF"), u"\u20AC\u0081\u008D\u0178\u00A0\u00E9\u00FF");
    EXPECT_EQ(pc::WideToAnsi(u"\u20ACcaf\u00E9"), "\x80"
                                                  "caf\xE9");
    EXPECT_EQ(pc::WideToAnsi(u"\u0436\u65E5"), "??"); // no ANSI form and no look-alike
    EXPECT_EQ(pc::WideToAnsi(u"\u0100"), "?");        // never a best fit to another name ('A')
    EXPECT_EQ(pc::OemToAnsi("\x81"
                            "ber \xE1 \x9F \x9B"),
              "\xFC"
              "ber \xDF \x83 \xA2");
    EXPECT_EQ(pc::OemToAnsi(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(pc::SystemToWide("caf\xE9"), u"caf\u00E9");
    EXPECT_EQ(pc::WideToSystem(u"caf\u00E9"), "caf\xE9");
}

TEST(Win32CodePages, WideCaseMappingAndLocaleComparison) {
    EXPECT_EQ(pc::WideLowerCase(u"DATA/GAME.DAT \u00C4\u00D6\u00DC \u03A3\u0416"),
              u"data/game.dat \u00E4\u00F6\u00FC \u03C3\u0436");
    EXPECT_EQ(pc::WideUpperCase(u"setup.exe \u00E9"), u"SETUP.EXE \u00C9");
    EXPECT_EQ(pc::WideLowerCase(u"\U0001F600"), u"\U0001F600");
    EXPECT_TRUE(pc::EqualIgnoringCase("Patch42", "pATCH42"));
    EXPECT_TRUE(pc::EqualIgnoringCase("", ""));
    EXPECT_FALSE(pc::EqualIgnoringCase("42", "43"));
    EXPECT_FALSE(pc::EqualIgnoringCase("42", "042"));
    EXPECT_FALSE(pc::EqualIgnoringCase("42", "42 "));
    if (pc::test::HasWesternCodePages()) {
        EXPECT_TRUE(pc::EqualIgnoringCase("\xC4rger", "\xE4RGER")); // the locale knows the umlauts' case
    }
}

// Runs a program of the system and waits for it.
void RunSystem(const std::string& commandLine) {
    ASSERT_TRUE(pc::StartProcess(commandLine, true) == pc::TStartResult::srStarted) << commandLine;
}

const std::string kCommandKey = "SOFTWARE\\Classes\\http\\shell\\open\\command";

// The http open command as the launcher reads it; the value is put back when the test ends.
class HttpOpenCommand : public ::testing::Test {
protected:
    void SetUp() override {
        pc::TRegistry registry;
        registry.SetRootKey(pc::RootKey::LocalMachine);
        hadKey_ = registry.OpenKeyForReading(kCommandKey);
        if (hadKey_)
            saved_ = registry.ReadStringValue("");
    }
    void TearDown() override {
        if (hadKey_)
            RunSystem("reg.exe add \"HKLM\\" + kCommandKey + "\" /ve /t REG_SZ /d \"" + Escaped(saved_) +
                      "\" /f");
        else
            RunSystem("reg.exe delete \"HKLM\\" + kCommandKey + "\" /f");
    }
    static std::string Escaped(const std::string& text) {
        std::string out;
        for (const char c : text)
            out += c == '"' ? std::string("\\\"") : std::string(1, c);
        return out;
    }
    static std::string Read() {
        pc::TRegistry registry;
        registry.SetRootKey(pc::RootKey::LocalMachine);
        EXPECT_TRUE(registry.OpenKeyForReading(kCommandKey));
        return registry.ReadStringValue("");
    }

private:
    bool hadKey_ = false;
    std::string saved_;
};

TEST_F(HttpOpenCommand, StringValuesReadAndOtherTypesRaise) {
    RunSystem("reg.exe add \"HKLM\\" + kCommandKey +
              "\" /ve /t REG_SZ /d \"\\\"C:\\Browser\\b.exe\\\" -- %1\" /f");
    EXPECT_EQ(Read(), "\"C:\\Browser\\b.exe\" -- %1");
    RunSystem("reg.exe add \"HKLM\\" + kCommandKey +
              "\" /ve /t REG_EXPAND_SZ /d \"%ProgramFiles%\\b.exe\" /f");
    EXPECT_EQ(Read(), "%ProgramFiles%\\b.exe"); // unexpanded

    RunSystem("reg.exe add \"HKLM\\" + kCommandKey + "\" /ve /t REG_DWORD /d 5 /f");
    try {
        Read();
        ADD_FAILURE() << "a REG_DWORD default value was read as a string";
    } catch (const pc::ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for ''");
    }
}

TEST(Win32Registry, MissingKeysAndValues) {
    pc::TRegistry registry;
    registry.SetRootKey(pc::RootKey::LocalMachine);
    EXPECT_FALSE(registry.OpenKeyForReading("SOFTWARE\\PatchClient\\No\\Such\\Key"));
    ASSERT_TRUE(registry.OpenKeyForReading("SOFTWARE"));
    EXPECT_EQ(registry.ReadStringValue("no such value"), "");
}

pc::EInOutError CreateFails(const std::string& path) {
    pc::TOutputFile file;
    try {
        pc::CreateOutputFile(file, path);
    } catch (const pc::EInOutError& e) {
        EXPECT_FALSE(file.IsOpen());
        return e;
    }
    ADD_FAILURE() << "no EInOutError for " << path;
    return pc::EInOutError("", 0);
}

TEST(Win32OutputFile, TheSystemsErrorCodesGiveTheMessages) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    const std::string held = dir.Write("held.zip", "old");
    struct Case {
        std::string path;
        DWORD share; // how the test holds `held.zip` meanwhile
        int code;
        const char* message;
    } cases[] = {
        {dir / "missing\\patch.zip", 0, 3, "Invalid filename"},
        {dir / "folder", 0, 5, "File access denied"},
        {held, 0, 32, "I/O error 32"},               // held open without sharing
        {held, FILE_SHARE_READ, 32, "I/O error 32"}, // others may only read
    };
    for (const auto& c : cases) {
        HeldFile holder(held, c.share);
        ASSERT_TRUE(holder.Held());
        const auto e = CreateFails(c.path);
        EXPECT_EQ(e.ErrorCode, c.code) << c.path;
        EXPECT_EQ(e.Message(), c.message) << c.path;
    }
}

TEST(Win32OutputFile, OthersMayReadAndWriteWhileItIsOpen) {
    TempDir dir;
    const std::string path = dir / "patch.zip";
    pc::TOutputFile file;
    pc::CreateOutputFile(file, path);
    pc::WriteOutputBytes(file, "PK", 2);
    {
        HeldFile reader(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_TRUE(reader.Held());
    }
    pc::CloseOutputFile(file);
    // A file someone shares for reading and writing can be truncated by the next download.
    HeldFile sharing(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    pc::CreateOutputFile(file, path);
    pc::CloseOutputFile(file);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(Win32ReplaceFile, ReplacesInOneMoveAndKeepsTheOldFileWhenItCannot) {
    TempDir dir;
    const std::string path = dir.Write("tqm_patch.ini", "1\r\n");
    pc::ReplaceFile(path, "1\r\n2\r\n");
    EXPECT_EQ(ReadFileBytes(path), "1\r\n2\r\n");
    {
        // A reader that does not let it be deleted or renamed keeps the old ledger in place.
        HeldFile reader(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(reader.Held());
        EXPECT_THROW(pc::ReplaceFile(path, "3\r\n"), pc::EFCreateError);
    }
    EXPECT_EQ(ReadFileBytes(path), "1\r\n2\r\n");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        ++entries;
    EXPECT_EQ(entries, 1u) << "the temporary is gone";
    // A read-only ledger is replaced as well: the move takes the new file's attributes.
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    pc::ReplaceFile(path, "4\r\n");
    EXPECT_EQ(ReadFileBytes(path), "4\r\n");
}

TEST(Win32InstallLock, OneHolderPerInstallationWhateverTheSpelling) {
    TempDir dir;
    std::filesystem::create_directory(dir / "Game");
    pc::TInstallationLock first(dir / "Game\\");
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_TRUE(first.TryAcquire());
    {
        pc::TInstallationLock second(dir / "GAME/");
        EXPECT_FALSE(second.TryAcquire());
        pc::TInstallationLock other(dir.Path());
        EXPECT_TRUE(other.TryAcquire());
    }
    {
        pc::TInstallationLock later(dir / "game");
        EXPECT_FALSE(later.TryAcquire());
    }
}

TEST(Win32InstallLock, ReleasedWithItsHolder) {
    TempDir dir;
    {
        pc::TInstallationLock first(dir.Path());
        ASSERT_TRUE(first.TryAcquire());
    }
    pc::TInstallationLock second(dir.Path());
    EXPECT_TRUE(second.TryAcquire());
}

// The lock is its file held open for writing without sharing: hidden, kept afterwards, and open to its
// owner alone, so that nobody who may only read the installation can hold it without sharing (as anyone
// can do to a file they may read). A handle on the directory, sharing nothing, is no lock.
TEST(Win32InstallLock, AnOwnerOnlyFileThatADirectoryHandleDoesNotBlock) {
    TempDir dir;
    const std::string file = dir / pc::kInstallationLockFileName;
    {
        const HANDLE directory = ::CreateFileA(dir.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_NE(directory, INVALID_HANDLE_VALUE);
        pc::TInstallationLock lock(dir.Path());
        EXPECT_TRUE(lock.TryAcquire());
        ::CloseHandle(directory);
        EXPECT_TRUE(pc::test::IsHeldOpen(file));
        EXPECT_NE(pc::test::AttributesOf(file) & FILE_ATTRIBUTE_HIDDEN, 0u);
    }
    EXPECT_FALSE(pc::test::IsHeldOpen(file));

    DWORD needed = 0;
    ::GetFileSecurityA(file.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    ASSERT_GT(needed, 0u);
    std::vector<std::uint64_t> descriptor(needed / 8 + 1);
    ASSERT_TRUE(
        ::GetFileSecurityA(file.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed));
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl != nullptr);
    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(::GetAclInformation(acl, &size, sizeof size, AclSizeInformation));
    std::set<std::string> allowed;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(acl, i, &ace));
        const auto* allowing = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if (allowing->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        char* text = nullptr;
        ASSERT_TRUE(::ConvertSidToStringSidA(const_cast<DWORD*>(&allowing->SidStart), &text));
        allowed.insert(text);
        ::LocalFree(text);
    }
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<std::uint64_t> user(64);
    DWORD length = 0;
    const BOOL got = ::GetTokenInformation(token, TokenUser, user.data(), 512, &length);
    ::CloseHandle(token);
    ASSERT_TRUE(got);
    char* self = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &self));
    EXPECT_EQ(allowed.count(self), 1u) << self;
    ::LocalFree(self);
    // Everyone, anyone signed in, and the local users: none of them may open it. (Wine shows the system
    // account beside the owner whatever list a file was made with; Windows shows the owner alone.)
    for (const char* broad : {"S-1-1-0", "S-1-5-11", "S-1-5-32-545"})
        EXPECT_EQ(allowed.count(broad), 0u) << broad;
}

} // namespace
