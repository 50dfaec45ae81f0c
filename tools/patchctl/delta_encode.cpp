#include "tools/patchctl/delta_encode.h"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace pc {
namespace {

struct CCtxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void Check(std::size_t result, const char* what) {
    if (ZSTD_isError(result))
        throw EDeltaError(std::string("Cannot make a delta (") + what + "): " + ZSTD_getErrorName(result));
}

} // namespace

std::string EncodeDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* next,
                        std::size_t nextSize, int level, int threads) {
    if (static_cast<std::int64_t>(oldSize) > kMaxDeltaFileBytes ||
        static_cast<std::int64_t>(nextSize) > kMaxDeltaFileBytes)
        throw EDeltaError("Cannot make a delta of a file over 2 GiB");
    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context)
        throw EDeltaError("Cannot make a delta: out of memory");
    ZSTD_CCtx* c = context.get();
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), "level");
    const int windowLog = WindowLogFor(oldSize, nextSize);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog), "window");
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), "long-distance matching");
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0), "checksum");
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), "content size");
    if (threads >= 1) {
        // Workers make the same bytes whatever their number, each with tables and buffers of its own. A
        // libzstd without threads refuses them; the delta is then made on this thread.
        (void)ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, threads);
    }
    Check(ZSTD_CCtx_refPrefix(c, old, oldSize), "old file");
    Check(ZSTD_CCtx_setPledgedSrcSize(c, nextSize), "size");
    // The delta grows as it is made: no buffer the size of the new file is set aside for it.
    std::string out;
    std::vector<char> chunk(ZSTD_CStreamOutSize());
    ZSTD_inBuffer in{next, nextSize, 0};
    for (std::size_t left = 1; left != 0;) {
        ZSTD_outBuffer piece{chunk.data(), chunk.size(), 0};
        left = ZSTD_compressStream2(c, &piece, &in, ZSTD_e_end);
        Check(left, "compression");
        out.append(chunk.data(), piece.pos);
    }
    return out;
}

} // namespace pc
