// A registry whose keys and values a test sets directly.
#pragma once

#include "framework/registry.h"

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace pc::test {

class FakeRegistry : public RegistryBackend {
public:
    // Key paths as the launcher opens them (below the root, without a leading '\'); compared exactly.
    void AddKey(RootKey root, const std::string& path) { keys_.insert({root, path}); }
    void SetValue(RootKey root, const std::string& path, const std::string& name, RegistryType type,
                  const std::string& data) {
        AddKey(root, path);
        values_[{root, path, name}] = RegistryValue{type, data};
    }
    // The value exists and has a size, but reading it fails.
    void MakeUnreadable(RootKey root, const std::string& path, const std::string& name) {
        unreadable_.insert({root, path, name});
    }

    bool OpenKey(RootKey root, const std::string& path) override {
        ++opens;
        return keys_.count({root, path}) != 0;
    }
    std::optional<std::size_t> ValueSize(RootKey root, const std::string& path,
                                         const std::string& name) override {
        const auto it = values_.find({root, path, name});
        if (it == values_.end())
            return std::nullopt;
        return it->second.data.size();
    }
    std::optional<RegistryValue> ReadValue(RootKey root, const std::string& path,
                                           const std::string& name) override {
        const auto it = values_.find({root, path, name});
        if (it == values_.end() || unreadable_.count({root, path, name}) != 0)
            return std::nullopt;
        return it->second;
    }

    int opens = 0;

private:
    using ValueKey = std::tuple<RootKey, std::string, std::string>;
    std::set<std::pair<RootKey, std::string>> keys_;
    std::map<ValueKey, RegistryValue> values_;
    std::set<ValueKey> unreadable_;
};

} // namespace pc::test
