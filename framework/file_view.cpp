// What a file view is on every platform: moved, not copied, and closed when it goes; opening and closing
// the mapping are the platform's.
#include "framework/file_view.h"

#include <utility>

namespace pc::fsys {

TFileView::TFileView(TFileView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

TFileView& TFileView::operator=(TFileView&& other) noexcept {
    if (this != &other) {
        Close();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

TFileView::~TFileView() {
    Close();
}

} // namespace pc::fsys
