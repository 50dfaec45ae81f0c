// The player's proxy, as the environment names it: the whole update run in-process against nginx through
// Debian's tinyproxy on loopback, plain http forwarded and https tunnelled through CONNECT, and no_proxy
// passing it by.
#include "launcher/update_run.h"

#include "archive/zip_archiver.h"
#include "framework/http_transport.h"
#include "launcher/archiver_settings.h"
#include "launcher/config.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/download.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/fake_ui.h"
#include "tests/support/nginx_server.h"
#include "tests/support/proxy_server.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pc::test::TempDir;
using Lines = std::vector<std::string>;

// Sets or clears one environment variable for as long as it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() { Set(old_); }

private:
    void Set(const std::optional<std::string>& value) {
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Proxy, TheEnvironmentsProxyCarriesTheUpdate) {
    TempDir content;
    TempDir secureContent;
    pc::test::NginxServer plain(content.Path());
    pc::test::NginxOptions tls;
    tls.tls = true;
    pc::test::NginxServer secure(secureContent.Path(), tls);
    pc::test::ProxyServer proxy;
    pc::SetTrustedCertificates(secure.CertificateFile());
    const std::string archive = pc::test::ZipBuilder().Deflated("data.txt", "through the proxy").Build();
    content.Write("p1.zip", archive);
    secureContent.Write("p1.zip", archive);
    content.Write("list.txt", "1\t" + plain.Url("/p1.zip") + "\t100\t\t0\t\r\n");
    secureContent.Write("list.txt", "1\t" + secure.Url("/p1.zip") + "\t100\t\t0\t\r\n");
    const std::string noProxy = "http://127.0.0.1:" + std::to_string(pc::test::FreeLoopbackPort());
    const std::string plainHost = "127.0.0.1:" + std::to_string(plain.Port());
    const std::string secureHost = "127.0.0.1:" + std::to_string(secure.Port());

    const pc::DownloadLimits saved = pc::DefaultDownloadLimits();
    pc::DefaultDownloadLimits() = pc::DownloadLimits{2000ms, 2s, {100ms, 300ms}};
    struct Case {
        const char* what;
        std::string listUrl;
        std::optional<std::string> httpProxy, httpsProxy, bypass;
        bool applied;
        Lines proxied; // the requests the proxy took
    } cases[] = {
        {"http forwarded",
         plain.Url("/list.txt"),
         proxy.Url(),
         std::nullopt,
         std::nullopt,
         true,
         {"GET http://" + plainHost + "/list.txt HTTP/1.1", "GET http://" + plainHost + "/p1.zip HTTP/1.1"}},
        // One tunnel: the archive's request goes through the connection the list's opened.
        {"https through CONNECT",
         secure.Url("/list.txt"),
         std::nullopt,
         proxy.Url(),
         std::nullopt,
         true,
         {"CONNECT " + secureHost + " HTTP/1.1"}},
        {"no_proxy passes a dead proxy by", plain.Url("/list.txt"), noProxy, noProxy, "127.0.0.1", true, {}},
        {"a dead proxy", plain.Url("/list.txt"), noProxy, std::nullopt, std::nullopt, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t before = proxy.Requests().size();
        TempDir install;
        pc::test::RecordingUi ui;
        pc::TZipArchiver archiver;
        pc::testing::ScriptedDialogs dialogs;
        pc::ApplyLauncherArchiverSettings(archiver);
        archiver.DialogProvider = &dialogs;
        ui.SetZipArchiver(&archiver);
        pc::Config() = pc::LauncherConfig{};
        pc::Config().applicationDir = install.Path();
        {
            ScopedEnv http("http_proxy", c.httpProxy);
            ScopedEnv https("https_proxy", c.httpsProxy);
            ScopedEnv bypass("no_proxy", c.bypass);
            ScopedEnv bypassUpper("NO_PROXY", std::nullopt);
            pc::test::RunUpdate(ui, c.listUrl);
        }
        if (c.applied) {
            EXPECT_EQ(ui.logLines, (Lines{"- Searching for updates...", "- Downloaded: p1",
                                          "- Update process completed"}));
            EXPECT_EQ(pc::test::ReadFileBytes(install / "data.txt"), "through the proxy");
        } else {
            EXPECT_EQ(ui.logLines, (Lines{"- Searching for updates...", "- Cannot download patch list"}));
            EXPECT_FALSE(fs::exists(install / "data.txt"));
        }
        const Lines all = proxy.Requests();
        EXPECT_EQ(Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), c.proxied);
    }
    pc::DefaultDownloadLimits() = saved;
    pc::SetTrustedCertificates("");
}

} // namespace
