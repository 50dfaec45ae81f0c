// Message digests and signatures for checking what was downloaded. The platform's crypto library computes
// them; this is the whole interface that the rest of the program sees.
#pragma once

#include "framework/exceptions.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

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
// The same in lower case only, as manifests write it, so that one digest has one spelling.
bool IsLowerSha256Text(std::string_view text);

// A key or signature that cannot be made or read.
class ECryptoError : public Exception {
public:
    using Exception::Exception;
};

// Signatures of patch lists: ECDSA on the curve P-256 over the SHA-256 of the exact bytes, the signature
// DER-encoded, the way `openssl dgst -sha256 -sign` makes it.

// A new private key as PEM (PKCS #8), readable by the openssl tool. ECryptoError
std::string NewSigningKeyPem();
// The public half of a private key given as PEM, as DER SubjectPublicKeyInfo. ECryptoError when the text
// is not a P-256 private key.
std::string PublicKeyOfSigningKey(const std::string& privateKeyPem);
// The public half of a key given as PEM, private (PKCS #8) or public (SubjectPublicKeyInfo), as DER
// SubjectPublicKeyInfo: an operator names keys to trust by either. ECryptoError when the text is neither
// for a P-256 key.
std::string PublicKeyOfPem(const std::string& pem);
// The signature of `data` under the private key given as PEM. ECryptoError
std::string SignData(const std::string& privateKeyPem, const std::string& data);
// Whether `publicKeyDer` is a P-256 public key as DER SubjectPublicKeyInfo, nothing after it.
bool IsVerifyingKey(const std::string& publicKeyDer);
// Whether `signature` is a valid signature of `data` under the public key given as DER
// SubjectPublicKeyInfo. A key that is not a P-256 key, or is malformed, verifies nothing.
bool VerifySignature(const std::string& publicKeyDer, const std::string& data, const std::string& signature);

// Base64 with padding and without line breaks, as Config.ini carries the public key.
std::string Base64Encode(const std::string& bytes);
// False when `text` is not such base64 (no blanks or line breaks allowed).
bool Base64Decode(const std::string& text, std::string& bytes);

} // namespace pc
