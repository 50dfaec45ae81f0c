// The digests and signatures on OpenSSL's libcrypto.
#include "framework/crypto.h"

#include "framework/exceptions.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>

namespace pc {
namespace {

// One owner of a digest context, for the hashes and the signatures alike.
struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

} // namespace

struct TSha256::State {
    DigestContext context{EVP_MD_CTX_new()};
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

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

// Only P-256 keys sign patch lists; anything else is refused rather than trusted.
bool IsP256(EVP_PKEY* key) {
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_EC)
        return false;
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1)
        return false;
    return std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0;
}

Key ReadPrivateKey(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        throw EOutOfResources("Cannot read the key");
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!IsP256(key.get()))
        throw ECryptoError("The key is not an ECDSA P-256 private key in PEM");
    return key;
}

} // namespace

std::string NewSigningKeyPem() {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
        throw ECryptoError("Cannot make a P-256 key");
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw ECryptoError("Cannot write the key as PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

namespace {

std::string PublicKeyDer(EVP_PKEY* key) {
    const int length = i2d_PUBKEY(key, nullptr);
    if (length <= 0)
        throw ECryptoError("Cannot write the public key");
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_PUBKEY(key, &out) != length)
        throw ECryptoError("Cannot write the public key");
    return der;
}

} // namespace

std::string PublicKeyOfSigningKey(const std::string& privateKeyPem) {
    return PublicKeyDer(ReadPrivateKey(privateKeyPem).get());
}

std::string PublicKeyOfPem(const std::string& pem) {
    if (pem.find("-----BEGIN PUBLIC KEY-----") == std::string::npos)
        return PublicKeyOfSigningKey(pem);
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        throw EOutOfResources("Cannot read the key");
    const Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!IsP256(key.get()))
        throw ECryptoError("The key is not an ECDSA P-256 key in PEM");
    return PublicKeyDer(key.get());
}

std::string SignData(const std::string& privateKeyPem, const std::string& data) {
    const Key key = ReadPrivateKey(privateKeyPem);
    DigestContext context(EVP_MD_CTX_new());
    std::size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, bytes, data.size()) != 1)
        throw ECryptoError("Cannot sign");
    std::string signature(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes,
                       data.size()) != 1)
        throw ECryptoError("Cannot sign");
    signature.resize(length);
    return signature;
}

namespace {

// The key, or none when the bytes are not exactly one P-256 SubjectPublicKeyInfo: trailing bytes after
// the key are as suspect as a malformed key.
Key ReadPublicKey(const std::string& publicKeyDer) {
    const auto* in = reinterpret_cast<const unsigned char*>(publicKeyDer.data());
    Key key(d2i_PUBKEY(nullptr, &in, static_cast<long>(publicKeyDer.size())));
    if (!IsP256(key.get()) ||
        in != reinterpret_cast<const unsigned char*>(publicKeyDer.data()) + publicKeyDer.size())
        return nullptr;
    return key;
}

} // namespace

bool IsVerifyingKey(const std::string& publicKeyDer) {
    return ReadPublicKey(publicKeyDer) != nullptr;
}

bool VerifySignature(const std::string& publicKeyDer, const std::string& data, const std::string& signature) {
    const Key key = ReadPublicKey(publicKeyDer);
    if (!key)
        return false;
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                            data.size()) == 1;
}

} // namespace pc
