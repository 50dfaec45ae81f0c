#include "tools/patchctl/file_digest.h"

#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/file_system.h"

#include <algorithm>
#include <vector>

namespace pc::patchctl {

std::string Sha256OfFile(const std::string& path) {
    const fsys::TFile file = fsys::OpenExisting(path, fsys::TAccess::Read, fsys::TShare::DenyWrite);
    if (!file.Valid())
        throw EFOpenError("Cannot open file " + path);
    // A read that stops short of the size is an error, not the end of the file.
    const std::int64_t size = fsys::SizeOf(file);
    TSha256 hash;
    std::vector<char> chunk(1 << 20);
    for (std::int64_t at = 0; at < size;) {
        const std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(chunk.size()), size - at);
        if (fsys::ReadAt(file, chunk.data(), want, at) != want)
            throw EFOpenError("Cannot open file " + path);
        hash.Update(chunk.data(), static_cast<std::size_t>(want));
        at += want;
    }
    return hash.HexDigest();
}

} // namespace pc::patchctl
