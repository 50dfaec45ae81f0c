// The checks of `patchctl lint` that download what players would get.
#pragma once

#include <string>

namespace pc::patchctl {

bool IsUrl(const std::string& text);

// A private scratch directory for the downloads, removed with its contents.
class ScratchDir {
public:
    ScratchDir(); // EFCreateError when no directory can be made
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();
    // With a trailing '/'.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Downloads the list at `url` into `scratch` as the launcher would (refusing what the launcher refuses
// to download) and, when `withSignature`, its signature and statement of trust beside it; `file`,
// `signatureFile` and `trustFile` receive their paths (one that cannot be downloaded is absent). Returns
// false, with the reason on stdout, when the list cannot be downloaded.
bool DownloadListForLint(const std::string& url, bool withSignature, const std::string& scratch,
                         std::string& file, std::string& signatureFile, std::string& trustFile);

// Downloads every archive that an installation with an empty ledger would fetch (a row superseded in its
// group is not) and checks it against its row and as the launcher would extract it. Returns the number
// of problems.
int FetchArchives(const std::string& path, const std::string& label, const std::string& scratch);

// Downloads the client manifest that the list's client line names (checked against the line's SHA-256)
// and the directory of the archive beside it, and checks that they name the same files with the same
// sizes. Returns the number of problems; a list without a well-formed client line has none here.
int FetchClient(const std::string& path, const std::string& label, const std::string& scratch);

} // namespace pc::patchctl
