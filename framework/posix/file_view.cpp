#include "framework/file_view.h"

#include "framework/posix/unique_fd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace pc::fsys {

bool TFileView::Open(const std::string& name) {
    Close();
    posix::UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (st.st_size == 0)
        return true;
    void* at = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.Get(), 0);
    if (at == MAP_FAILED)
        return false;
    // Read front to back once by the decoder's matches; the system may read ahead.
    ::madvise(at, static_cast<std::size_t>(st.st_size), MADV_SEQUENTIAL);
    data_ = static_cast<const std::uint8_t*>(at);
    size_ = static_cast<std::size_t>(st.st_size);
    return true;
}

void TFileView::Close() noexcept {
    if (data_ != nullptr)
        ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

} // namespace pc::fsys
