// Reading one string from the system registry, the place the desktop names its default web browser.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pc {

enum class RootKey { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// The kinds of data a registry value holds.
enum class RegistryType { None, String, ExpandString, Binary, DWord, MultiString, QWord };

struct RegistryValue {
    RegistryType type = RegistryType::None;
    std::string data; // the stored bytes; strings usually end with a NUL
};

// Where registry data comes from. Key paths are below the root key, their parts separated by '\'; key
// and value names compare without regard to letter case. The empty value name is the key's default value.
class RegistryBackend {
public:
    virtual ~RegistryBackend() = default;
    // Whether the key exists and may be read.
    virtual bool OpenKey(RootKey root, const std::string& path) = 0;
    // The value's size in bytes, or nothing when the key holds no such value.
    virtual std::optional<std::size_t> ValueSize(RootKey root, const std::string& path,
                                                 const std::string& name) = 0;
    // The value itself, or nothing when it cannot be read.
    virtual std::optional<RegistryValue> ReadValue(RootKey root, const std::string& path,
                                                   const std::string& name) = 0;
};

// The platform's registry: on Linux the desktop's default-browser association (framework/posix).
RegistryBackend& SystemRegistry();

class TRegistry {
public:
    TRegistry(); // over SystemRegistry()
    explicit TRegistry(RegistryBackend& backend);
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;
    ~TRegistry() { CloseKey(); }

    RootKey GetRootKey() const { return root_; }
    void SetRootKey(RootKey root); // closes the current key

    // A path starting with '\' is taken below the root key, any other below the current key when one is
    // open. True when the key was opened; it then becomes the current key. False leaves things as they were.
    bool OpenKeyForReading(const std::string& path);
    void CloseKey();
    bool HasCurrentKey() const { return currentKey_.has_value(); }
    const std::string& CurrentPath() const;

    // The named value of the current key as a string, up to its first NUL; an expandable string comes
    // unexpanded. Empty when there is no current key, no such value or a value of size 0.
    // ERegistryException "Failed to get data for '%s'" or "Invalid data type for '%s'".
    std::string ReadStringValue(const std::string& name);

private:
    RegistryBackend& backend_;
    RootKey root_ = RootKey::CurrentUser;
    std::optional<std::string> currentKey_;
};

} // namespace pc
