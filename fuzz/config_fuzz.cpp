// Config.ini as the launcher reads it: load, descramble, the eight lookups, and LoadConfig's use of them,
// against the plain buffer model following the lookup steps.
#include "fuzz/fuzz_target.h"
#include "fuzz/memo_model.h"

#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/text_buffer.h"
#include "launcher/config.h"
#include "launcher/install/installation.h"
#include "launcher/ui_port.h"

#include <optional>

namespace pc::fuzz {
namespace {

// Just enough window for LoadConfig: remembers what it was told.
class ConfigUi : public UiPort {
public:
    void SetApplicationTitle(const std::string& text) override { title = text; }
    std::string GetApplicationTitle() const override { return title.substr(0, 255); }
    void SetWindowCaption(const std::string& text) override { caption = text; }
    void SetServerLabel(const std::string& text) override { serverLabel = text; }
    void NavigateNews(const std::string&) override {}
    void ArmPatchTimer() override {}
    std::unique_ptr<TMemo> CreateHiddenTextBuffer() override { return std::make_unique<TMemo>(); }
    void DestroyHiddenTextBuffer(std::unique_ptr<TMemo>) override {}
    void AppendLogLine(const std::string&) override {}
    void ReplaceLastLogLine(const std::string&) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressPosition(std::int32_t) override {}
    void SetProgressMax(std::int32_t) override {}
    void StepProgress(std::int32_t) override {}
    void PumpMessages() override {}
    void ShowMessageBox(const std::string&) override {}
    void TerminateApplication() override {}
    bool TerminationRequested() const override { return false; }
    TZipArchiver& ZipArchiver() override { return archiver_; }

    std::string title, caption, serverLabel;

private:
    TZipArchiver archiver_;
};

long long PositionOf(const std::string& text, const std::string& what) {
    const auto at = text.find(what);
    return at == std::string::npos ? 0 : static_cast<long long>(at) + 1;
}

std::string ModelLookup(MemoModel& m, const std::string& key) {
    const std::string t = m.text;
    m.SetSelectionStart(PositionOf(t, key) + static_cast<long long>(key.size()));
    const long long q = PositionOf(t, "\r\n");
    m.SetSelectionLength(q - m.Start() - 2);
    std::string value = m.Selected();
    m.SetSelectionStart(0);
    m.SetSelectionLength(q + 1);
    m.Replace("");
    return value;
}

// The whole reading of Config.ini by the model; nothing when the key is not a hexadecimal number.
std::optional<ConfigValues> ModelDecode(const std::string& bytes) {
    MemoModel m;
    m.LoadBytes(bytes);
    std::string text = m.text;
    std::int32_t key;
    try {
        key = ParseInteger("$" + text.substr(0, 2));
    } catch (const EConvertError&) {
        return std::nullopt;
    }
    text.erase(0, 2);
    const unsigned shift = static_cast<unsigned>((key + 19) % 256);
    for (char& c : text)
        c = static_cast<char>((static_cast<unsigned char>(c) + 256u - shift) % 256u);
    m.SetText(text);
    ConfigValues values;
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i)
        values[i] = ModelLookup(m, kConfigKeys[i]);
    return values;
}

int Run(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<ConfigValues> expected = ModelDecode(bytes);

    std::optional<ConfigValues> decoded;
    try {
        decoded = DecodeConfigBytes(bytes);
    } catch (const EConvertError&) {
    }
    FUZZ_CHECK(decoded.has_value() == expected.has_value());
    if (decoded)
        FUZZ_CHECK(*decoded == *expected);

    // The same file through LoadConfig, as the start-up handler reads it.
    const std::string path = ScratchDir() + kConfigFileName;
    WriteFile(path, bytes);
    ConfigUi ui;
    Config() = LauncherConfig();
    try {
        LoadConfig(ui, path);
        FUZZ_CHECK(decoded.has_value());
    } catch (const EConvertError&) {
        FUZZ_CHECK(!decoded.has_value());
        return 0;
    }
    const ConfigValues& v = *decoded;
    FUZZ_CHECK(ui.title == v[0]);
    FUZZ_CHECK(ui.caption == v[0].substr(0, 255));
    FUZZ_CHECK(Config().newsUrl == v[1]);
    FUZZ_CHECK(Config().patchListUrl == v[2]);
    FUZZ_CHECK(Config().serverName == v[3]);
    FUZZ_CHECK(ui.serverLabel == " " + v[3] + " ");
    FUZZ_CHECK(Config().websiteUrl == v[4]);
    FUZZ_CHECK(Config().controlPanelUrl == v[5]);
    FUZZ_CHECK(Config().forumUrl == v[6]);
    FUZZ_CHECK(Config().clientExe == v[7]);
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(config, pc::fuzz::Run)
