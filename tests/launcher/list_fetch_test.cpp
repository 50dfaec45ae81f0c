#include "launcher/list/list_fetch.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "tests/support/fake_ui.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

using End = pc::TFetchedList::TEnd;
using pc::test::TempDir;

// Where the list comes from, how the fetch ends, which place served it, and whether the list file stays.
TEST(ListFetch, TakesTheFirstPlaceThatServesAndBelievesOnlyWhatVerifies) {
    TempDir content;
    content.Write("list.txt", "// a list\r\n");
    pc::test::NginxServer server(content.Path());
    const std::string good = server.Url("/list.txt"), missing = server.Url("/none.txt");
    struct Case {
        const char* what;
        std::string url;
        std::vector<std::string> mirrors;
        std::optional<std::string> key;
        End end;
        std::string source;
        bool listKept;
    } cases[] = {
        {"its URL", good, {}, std::nullopt, End::leFetched, good, true},
        {"a mirror after a URL that fails",
         missing,
         {missing, good},
         std::nullopt,
         End::leFetched,
         good,
         true},
        {"no place serves it", missing, {missing}, std::nullopt, End::leUnavailable, "", false},
        {"a key and no signature", good, {}, std::string("MFkw"), End::leRefused, good, false},
    };
    for (const Case& c : cases) {
        TempDir install;
        pc::test::RecordingUi ui;
        pc::TDelivery delivery;
        const pc::TFetchedList fetched = pc::FetchPatchList(ui, install.Path(), {c.url, c.mirrors, c.key},
                                                            delivery, pc::DefaultDownloadLimits());
        EXPECT_EQ(fetched.end, c.end) << c.what;
        EXPECT_EQ(fetched.source, c.source) << c.what;
        EXPECT_EQ(std::filesystem::exists(install / pc::kPatchListFileName), c.listKept) << c.what;
        EXPECT_EQ(fetched.reason.empty(), c.end == End::leFetched) << c.what;
    }
}

} // namespace
