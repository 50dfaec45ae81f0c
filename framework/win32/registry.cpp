// The registry of Windows itself: RegOpenKeyExA, RegQueryValueExA and RegCloseKey for reading.
#include "framework/registry.h"

#include "framework/win32/win32_support.h"

#include <vector>

namespace pc {
namespace {

HKEY RootHandle(RootKey root) {
    switch (root) {
    case RootKey::ClassesRoot:
        return HKEY_CLASSES_ROOT;
    case RootKey::CurrentUser:
        return HKEY_CURRENT_USER;
    case RootKey::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    case RootKey::Users:
        return HKEY_USERS;
    case RootKey::CurrentConfig:
        return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CURRENT_USER;
}

RegistryType TypeOf(DWORD type) {
    switch (type) {
    case REG_SZ:
        return RegistryType::String;
    case REG_EXPAND_SZ:
        return RegistryType::ExpandString;
    case REG_BINARY:
        return RegistryType::Binary;
    case REG_DWORD:
        return RegistryType::DWord;
    case REG_MULTI_SZ:
        return RegistryType::MultiString;
    case REG_QWORD:
        return RegistryType::QWord;
    default:
        return RegistryType::None;
    }
}

// An open key, closed with RegCloseKey when its owner goes out of scope.
class OpenedKey {
public:
    OpenedKey(RootKey root, const std::string& path) {
        if (::RegOpenKeyExA(RootHandle(root), path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    ~OpenedKey() {
        if (key_ != nullptr)
            ::RegCloseKey(key_);
    }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class WindowsRegistry : public RegistryBackend {
public:
    bool OpenKey(RootKey root, const std::string& path) override {
        return OpenedKey(root, path).Get() != nullptr;
    }

    std::optional<std::size_t> ValueSize(RootKey root, const std::string& path,
                                         const std::string& name) override {
        OpenedKey key(root, path);
        DWORD size = 0;
        if (key.Get() == nullptr ||
            ::RegQueryValueExA(key.Get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        return size;
    }

    std::optional<RegistryValue> ReadValue(RootKey root, const std::string& path,
                                           const std::string& name) override {
        OpenedKey key(root, path);
        if (key.Get() == nullptr)
            return std::nullopt;
        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        std::vector<BYTE> data(size);
        if (size > 0 &&
            ::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            return std::nullopt;
        RegistryValue value;
        value.type = TypeOf(type);
        value.data.assign(reinterpret_cast<const char*>(data.data()), size);
        return value;
    }
};

} // namespace

RegistryBackend& SystemRegistry() {
    static WindowsRegistry registry;
    return registry;
}

} // namespace pc
