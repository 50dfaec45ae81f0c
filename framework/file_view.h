// A read-only view of a whole file through the system's mapping: large files (the installed file a delta
// is decoded against) are read without being copied into the heap; the system pages them in and out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pc::fsys {

class TFileView {
public:
    TFileView() = default;
    TFileView(const TFileView&) = delete;
    TFileView& operator=(const TFileView&) = delete;
    TFileView(TFileView&& other) noexcept;
    TFileView& operator=(TFileView&& other) noexcept;
    ~TFileView();

    // Maps the existing regular file `name` whole. False when it cannot be opened or mapped; an empty file
    // gives an empty view.
    bool Open(const std::string& name);
    void Close() noexcept;

    const std::uint8_t* Data() const { return data_; }
    std::size_t Size() const { return size_; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace pc::fsys
