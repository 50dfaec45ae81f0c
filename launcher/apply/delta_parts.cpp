#include "launcher/apply/delta_parts.h"

#include <algorithm>
#include <cstring>

namespace pc {
namespace {

std::int64_t ReadNumber(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    // Beyond this no length of a file could be: the head is refused.
    return value > (std::uint64_t{1} << 62) ? -1 : static_cast<std::int64_t>(value);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

bool IsPartedDelta(const TDeltaRecord& record) {
    return EndsWith(record.entry, kPartedEntrySuffix);
}

TPartedDeltaDecoder::TPartedDeltaDecoder(std::int64_t oldSize, std::int64_t newSize, TReadOld readOld,
                                         TDeltaDecoder::TOutput output)
    : oldSize_(oldSize), newSize_(newSize), readOld_(std::move(readOld)), output_(std::move(output)) {}

TPartedDeltaDecoder::~TPartedDeltaDecoder() = default;

bool TPartedDeltaDecoder::StartPart() {
    const std::int64_t offset = ReadNumber(head_.data()), length = ReadNumber(head_.data() + 8);
    partSize_ = ReadNumber(head_.data() + 16);
    frameLeft_ = ReadNumber(head_.data() + 24);
    head_.clear();
    // A head that reaches outside either file, or asks for more memory than any coder uses, is no part.
    if (offset < 0 || length < 0 || partSize_ <= 0 || frameLeft_ <= 0 || length > kMostRegionBytes ||
        partSize_ > kMostPartBytes || offset > oldSize_ || length > oldSize_ - offset ||
        partSize_ > newSize_ - produced_)
        return false;
    region_.resize(static_cast<std::size_t>(length));
    if (length > 0 && !readOld_(offset, region_.size(), region_.data()))
        return false;
    partMade_ = 0;
    part_ = std::make_unique<TDeltaDecoder>(region_.data(), region_.size(), partSize_,
                                            [this](const std::uint8_t* data, std::size_t size) {
                                                partMade_ += static_cast<std::int64_t>(size);
                                                return partMade_ <= partSize_ && output_(data, size);
                                            });
    return !part_->Failed();
}

bool TPartedDeltaDecoder::EndPart() {
    const bool whole = part_->Finished() && partMade_ == partSize_;
    part_.reset();
    produced_ += partSize_;
    return whole;
}

bool TPartedDeltaDecoder::Feed(const void* data, std::size_t size) {
    if (failed_)
        return false;
    const auto* at = static_cast<const std::uint8_t*>(data);
    const std::uint8_t* const end = at + size;
    while (at < end) {
        if (magicSeen_ < sizeof kPartedMagic) {
            if (*at++ != static_cast<std::uint8_t>(kPartedMagic[magicSeen_++]))
                return !(failed_ = true);
        } else if (part_) {
            const auto take = static_cast<std::size_t>(std::min<std::int64_t>(frameLeft_, end - at));
            if (!part_->Feed(at, take))
                return !(failed_ = true);
            at += take;
            frameLeft_ -= static_cast<std::int64_t>(take);
            if (frameLeft_ == 0 && !EndPart())
                return !(failed_ = true);
        } else {
            // Bytes after the last part belong to no part.
            if (produced_ == newSize_)
                return !(failed_ = true);
            const auto take =
                std::min<std::size_t>(kPartHeadBytes - head_.size(), static_cast<std::size_t>(end - at));
            head_.insert(head_.end(), at, at + take);
            at += take;
            if (head_.size() == kPartHeadBytes && !StartPart())
                return !(failed_ = true);
        }
    }
    return true;
}

} // namespace pc
