#include "framework/registry.h"

#include "framework/exceptions.h"

namespace pc {
namespace {

std::string WithoutTrailingSeparators(std::string path) {
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

} // namespace

TRegistry::TRegistry() : TRegistry(SystemRegistry()) {}

TRegistry::TRegistry(RegistryBackend& backend) : backend_(backend) {}

void TRegistry::SetRootKey(RootKey root) {
    CloseKey();
    root_ = root;
}

void TRegistry::CloseKey() {
    currentKey_.reset();
}

const std::string& TRegistry::CurrentPath() const {
    static const std::string none;
    return currentKey_ ? *currentKey_ : none;
}

bool TRegistry::OpenKeyForReading(const std::string& path) {
    std::string full;
    if (!path.empty() && path.front() == '\\')
        full = path.substr(1);
    else if (currentKey_ && !currentKey_->empty())
        full = path.empty() ? *currentKey_ : *currentKey_ + "\\" + path;
    else
        full = path;
    full = WithoutTrailingSeparators(full);
    if (!backend_.OpenKey(root_, full))
        return false;
    currentKey_ = full;
    return true;
}

std::string TRegistry::ReadStringValue(const std::string& name) {
    if (!currentKey_)
        return std::string();
    const auto size = backend_.ValueSize(root_, *currentKey_, name);
    if (!size || *size == 0)
        return std::string();
    const auto value = backend_.ReadValue(root_, *currentKey_, name);
    if (!value)
        throw ERegistryException("Failed to get data for '" + name + "'");
    if (value->type != RegistryType::String && value->type != RegistryType::ExpandString)
        throw ERegistryException("Invalid data type for '" + name + "'");
    const auto nul = value->data.find('\0');
    return nul == std::string::npos ? value->data : value->data.substr(0, nul);
}

} // namespace pc
