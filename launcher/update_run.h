// The update run: patch list, missing patches, download, extraction, post-patch program, ledger.
#pragma once

#include <string>

namespace pc {

class UiPort;

// The whole run, on the window thread; log lines and progress go to the window through `ui`.
void UpdateRun(UiPort& ui, const std::string& patchListUrl);

// The file name a patch URL is stored under (keepExtension) or its display name.
std::string ArchiveFileName(const std::string& url, bool keepExtension);

} // namespace pc
