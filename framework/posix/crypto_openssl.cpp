// The digests on OpenSSL's libcrypto.
#include "framework/crypto.h"

#include "framework/exceptions.h"

#include <openssl/evp.h>

#include <array>

namespace pc {

struct TSha256::State {
    struct ContextDeleter {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context{EVP_MD_CTX_new()};
};

TSha256::TSha256() : state_(std::make_unique<State>()) {
    if (!state_->context)
        throw EOutOfResources("Cannot set up SHA-256");
    Reset();
}

TSha256::~TSha256() = default;

void TSha256::Reset() {
    if (EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1)
        throw EOutOfResources("Cannot set up SHA-256");
}

void TSha256::Update(const void* data, std::size_t size) {
    if (size > 0)
        EVP_DigestUpdate(state_->context.get(), data, size);
}

std::string TSha256::HexDigest() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    Reset();
    return text;
}

} // namespace pc
