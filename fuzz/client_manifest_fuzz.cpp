// The client manifest reader on arbitrary bytes: whatever it accepts is safe to act on and is exactly what
// the writer makes of it; whatever it refuses is refused with the line named. The patch list's client line
// is read from the same bytes.
#include "fuzz/fuzz_target.h"

#include "archive/extract_names.h"
#include "framework/code_pages.h"
#include "launcher/list/client_manifest.h"

#include <string>

namespace pc::fuzz {
namespace {

int Run(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const TClientManifest manifest = ParseClientManifest(bytes);
        // One spelling per manifest: reading is strict enough that writing gives back the same bytes.
        FUZZ_CHECK(FormatClientManifest(manifest) == bytes);
        FUZZ_CHECK(IsClientArchiveName(manifest.archiveName));
        for (std::size_t i = 0; i < manifest.files.size(); ++i) {
            const TClientFile& file = manifest.files[i];
            FUZZ_CHECK(ClientFileNameProblem(file.name).empty());
            FUZZ_CHECK(!IsUnsafeEntryName(Utf8ToWide(file.name)));
            FUZZ_CHECK(file.size >= 0 && file.mode <= 07777);
            if (i > 0)
                FUZZ_CHECK(manifest.files[i - 1].name < file.name);
            // No file stands where another one's folder must be.
            if (i > 0) {
                const std::string& previous = manifest.files[i - 1].name;
                FUZZ_CHECK(file.name.compare(0, previous.size() + 1, previous + "/") != 0);
            }
        }
    } catch (const EClientManifestError& e) {
        FUZZ_CHECK(e.Message().rfind("client manifest line ", 0) == 0);
    }

    const TClientReference reference = ReadClientReference(bytes);
    FUZZ_CHECK(!(reference.line && !reference.problem.empty()));
    if (reference.line) {
        const auto again = ParseClientLine(ClientLineText(*reference.line));
        FUZZ_CHECK(again && again->url == reference.line->url && again->sha256 == reference.line->sha256);
        // The archive lies beside the manifest: its URL ends with the archive's name.
        const std::string_view name = kClientArchiveFileName;
        const std::string archiveUrl = ClientArchiveUrl(reference.line->url, name);
        FUZZ_CHECK(archiveUrl.size() >= name.size());
        FUZZ_CHECK(archiveUrl.compare(archiveUrl.size() - name.size(), name.size(), name) == 0);
    }
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(client_manifest, pc::fuzz::Run)
