#include "framework/exceptions.h"
#include "framework/registry.h"
#include "tests/support/fake_registry.h"

#include <gtest/gtest.h>

namespace {

using pc::RegistryType;
using pc::RootKey;
using pc::TRegistry;
using pc::test::FakeRegistry;

const std::string kCommandKey = "SOFTWARE\\Classes\\http\\shell\\open\\command";

TEST(Registry, StringValuesByType) {
    struct Case {
        RegistryType type;
        std::string data;
        std::string result; // or the error text
        bool raises;
    } cases[] = {
        {RegistryType::String, std::string("\"/usr/bin/firefox\" %1\0", 22), "\"/usr/bin/firefox\" %1",
         false},
        {RegistryType::String, std::string("abc\0def\0", 8), "abc", false}, // up to the first NUL
        {RegistryType::String, "no terminator", "no terminator", false},
        {RegistryType::ExpandString, std::string("%ProgramFiles%\\b.exe\0", 21), "%ProgramFiles%\\b.exe",
         false},
        {RegistryType::String, "", "", false}, // size 0
        {RegistryType::DWord, "", "", false},  // size 0 is empty whatever the type
        {RegistryType::DWord, std::string("\1\0\0\0", 4), "Invalid data type for ''", true},
        {RegistryType::Binary, "xy", "Invalid data type for ''", true},
        {RegistryType::MultiString, std::string("a\0b\0\0", 5), "Invalid data type for ''", true},
        {RegistryType::QWord, std::string(8, '\0'), "Invalid data type for ''", true},
    };
    for (const auto& c : cases) {
        FakeRegistry backend;
        backend.SetValue(RootKey::LocalMachine, kCommandKey, "", c.type, c.data);
        TRegistry registry(backend);
        registry.SetRootKey(RootKey::LocalMachine);
        ASSERT_TRUE(registry.OpenKeyForReading(kCommandKey));
        try {
            EXPECT_EQ(registry.ReadStringValue(""), c.result) << testing::PrintToString(c.data);
            EXPECT_FALSE(c.raises) << c.result;
        } catch (const pc::ERegistryException& e) {
            EXPECT_TRUE(c.raises) << e.Message();
            EXPECT_EQ(e.Message(), c.result);
        }
    }
}

TEST(Registry, ValueNamesAppearInTheErrors) {
    FakeRegistry backend;
    backend.SetValue(RootKey::CurrentUser, "Software\\Game", "Path", RegistryType::DWord, "1234");
    backend.SetValue(RootKey::CurrentUser, "Software\\Game", "Name", RegistryType::String, "x");
    backend.MakeUnreadable(RootKey::CurrentUser, "Software\\Game", "Name");
    TRegistry registry(backend);
    ASSERT_TRUE(registry.OpenKeyForReading("Software\\Game"));
    try {
        registry.ReadStringValue("Path");
        ADD_FAILURE();
    } catch (const pc::ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for 'Path'");
    }
    try {
        registry.ReadStringValue("Name");
        ADD_FAILURE();
    } catch (const pc::ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to get data for 'Name'");
    }
}

TEST(Registry, MissingKeysAndValuesReadEmpty) {
    FakeRegistry backend;
    backend.AddKey(RootKey::LocalMachine, kCommandKey);
    TRegistry registry(backend);
    EXPECT_EQ(registry.GetRootKey(), RootKey::CurrentUser);
    EXPECT_EQ(registry.ReadStringValue(""), "");           // no current key
    EXPECT_FALSE(registry.OpenKeyForReading(kCommandKey)); // wrong root
    registry.SetRootKey(RootKey::LocalMachine);
    ASSERT_TRUE(registry.OpenKeyForReading(kCommandKey));
    EXPECT_EQ(registry.ReadStringValue(""), ""); // key without a default value
    EXPECT_EQ(registry.ReadStringValue("other"), "");
}

TEST(Registry, KeyPathsAreRelativeToTheCurrentKeyUnlessAbsolute) {
    FakeRegistry backend;
    backend.AddKey(RootKey::LocalMachine, "SOFTWARE");
    backend.AddKey(RootKey::LocalMachine, "SOFTWARE\\Classes");
    backend.AddKey(RootKey::LocalMachine, "Classes");
    TRegistry registry(backend);
    registry.SetRootKey(RootKey::LocalMachine);

    ASSERT_TRUE(registry.OpenKeyForReading("SOFTWARE"));
    ASSERT_TRUE(registry.OpenKeyForReading("Classes"));
    EXPECT_EQ(registry.CurrentPath(), "SOFTWARE\\Classes");
    // A failed open keeps the current key.
    EXPECT_FALSE(registry.OpenKeyForReading("Missing"));
    EXPECT_EQ(registry.CurrentPath(), "SOFTWARE\\Classes");
    // A leading backslash starts again at the root.
    ASSERT_TRUE(registry.OpenKeyForReading("\\Classes"));
    EXPECT_EQ(registry.CurrentPath(), "Classes");
    ASSERT_TRUE(registry.OpenKeyForReading("\\SOFTWARE\\"));
    EXPECT_EQ(registry.CurrentPath(), "SOFTWARE");
    // Changing the root closes the current key.
    registry.SetRootKey(RootKey::CurrentUser);
    EXPECT_FALSE(registry.HasCurrentKey());
}

} // namespace
