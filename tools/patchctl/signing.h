// Signing patch lists, shared by `patchctl sign` and `patchctl publish --key`.
#pragma once

#include <string>

namespace pc::patchctl {

// The name of the detached signature of the patch list at `list`.
std::string SignatureFileOf(const std::string& list);

// Writes `list`.sig, the signature of the list's exact bytes under the private key in the PEM file
// `keyPath`; replaces an older signature atomically. ECryptoError, EFOpenError, EFCreateError.
void SignListFile(const std::string& list, const std::string& keyPath);

} // namespace pc::patchctl
