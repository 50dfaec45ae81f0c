#include "framework/file_view.h"

#include "framework/win32/win32_support.h"

namespace pc::fsys {

bool TFileView::Open(const std::string& name) {
    Close();
    // Others may read it meanwhile; nobody may change it under the view.
    win32::UniqueHandle file(::CreateFileW(win32::WideName(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.Valid() || !::GetFileSizeEx(file.Get(), &size))
        return false;
    if (size.QuadPart == 0)
        return true;
    win32::UniqueHandle mapping(::CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.Valid())
        return false;
    void* at = ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0);
    if (at == nullptr)
        return false;
    data_ = static_cast<const std::uint8_t*>(at);
    size_ = static_cast<std::size_t>(size.QuadPart);
    // The view keeps the mapping alive by itself; the handles may go.
    return true;
}

void TFileView::Close() noexcept {
    if (data_ != nullptr)
        ::UnmapViewOfFile(data_);
    data_ = nullptr;
    size_ = 0;
}

} // namespace pc::fsys
