// Message digests for checking what was downloaded. The platform's crypto library computes them; this is
// the whole interface that the rest of the program sees.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace pc {

// SHA-256 over bytes fed in pieces.
class TSha256 {
public:
    TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    ~TSha256();

    void Update(const void* data, std::size_t size);
    // The digest of everything fed since construction or the last Reset, as 64 lower-case hexadecimal
    // digits. Starts over afterwards.
    std::string HexDigest();
    void Reset();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether `text` is a SHA-256 as a patch list writes it: exactly 64 hexadecimal digits, either case.
bool IsSha256Text(const std::string& text);

} // namespace pc
