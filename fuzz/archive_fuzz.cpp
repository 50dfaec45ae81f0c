// Arbitrary bytes as a patch archive: opened and extracted whole into a private directory, as the launcher
// does it, with every failure dialog answered Ignore. Whatever the bytes, the run ends, and nothing is
// written outside the base directory and nothing but plain files and directories inside it.
#include "fuzz/fuzz_target.h"

#include "archive/zip_archiver.h"
#include "framework/exceptions.h"

#include <filesystem>
#include <optional>

namespace pc::fuzz {
namespace {

namespace fs = std::filesystem;

// A user who answers every dialog by going on: Ignore, keep the existing file, no password.
class IgnoringDialogs : public TZADialogProvider {
public:
    TZADialogAnswer ShowFailureDialog(const std::string&, TZAFailureButtons) override { return daIgnore; }
    TZADialogAnswer ShowOverwriteDialog(const std::string&) override { return daNo; }
    std::optional<std::string> ShowPasswordDialog(const std::string&, const std::string&,
                                                  const std::string&) override {
        return std::nullopt;
    }
};

void CheckSandbox(const fs::path& sandbox) {
    for (const auto& entry : fs::directory_iterator(sandbox)) {
        const std::string name = entry.path().filename().string();
        FUZZ_CHECK(name == "base" || name == "patch.zip");
    }
    for (const auto& entry : fs::recursive_directory_iterator(sandbox / "base")) {
        FUZZ_CHECK(!entry.is_symlink());
        FUZZ_CHECK(entry.is_regular_file() || entry.is_directory());
    }
}

int Run(const std::uint8_t* data, std::size_t size) {
    const fs::path sandbox = fs::path(ScratchDir()) / "archive";
    std::error_code ignored;
    fs::remove_all(sandbox, ignored);
    fs::create_directories(sandbox / "base");
    const std::string path = (sandbox / "patch.zip").string();
    WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));

    IgnoringDialogs dialogs;
    TZipArchiver zip;
    zip.DialogProvider = &dialogs;
    zip.FileName = std::u16string(path.begin(), path.end());
    try {
        zip.Open();
    } catch (const Exception&) {
        FUZZ_CHECK(!zip.IsOpen());
        CheckSandbox(sandbox);
        return 0;
    }
    FUZZ_CHECK(zip.IsOpen());
    const std::string base = (sandbox / "base").string() + "/";
    zip.BaseDir = std::u16string(base.begin(), base.end());
    try {
        zip.ExtractMatching(u"*.*", kZAEveryAttribute, u"");
    } catch (const EStreamError&) {
        // A local header that cannot be read in full ends the run with the stream's error.
    }
    zip.Close();
    FUZZ_CHECK(!zip.IsOpen());
    CheckSandbox(sandbox);
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(archive, pc::fuzz::Run)
