// Staged rollout over the real draw: COUNT fresh installations each draw and keep their rollout number in
// their own settings file, as the launcher does when a row first asks, and a row published for 10, 50 and
// 100% of installations is judged for each by the launcher's own rule. The share that takes the row must
// be within 3 points of the share published; each installation must find its kept number again.
#include "launcher/install/settings.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/row_release.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The row as a published list carries it.
pc::TPatchRec RowFor(const fs::path& work, int percent) {
    const fs::path list = work / "list.txt";
    std::ofstream(list, std::ios::binary) << "1\thttp://127.0.0.1/p1.zip\t10\t\t0\t" << std::string(64, 'a')
                                          << "\trollout=" << percent << "\r\n";
    const auto table = std::make_unique<pc::TPatchList>();
    pc::ParsePatchList(list.string(), *table);
    return table->items[0];
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const fs::path work =
        fs::temp_directory_path() / ("pc-bench-rollout-" + std::to_string(std::random_device{}()));
    fs::create_directories(work);
    const int shares[] = {10, 50, 100};
    std::vector<pc::TPatchRec> rows;
    for (const int share : shares)
        rows.push_back(RowFor(work, share));
    int taken[3] = {0, 0, 0};
    int drawn = 0;
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        const std::string appDir = (work / ("i" + std::to_string(i))).string();
        fs::create_directories(appDir);
        const auto number = [&] {
            ++drawn;
            return pc::InstallationRolloutNumber(appDir, pc::DrawRolloutNumber);
        };
        for (std::size_t s = 0; s < rows.size(); ++s)
            taken[s] += pc::RowHold(rows[s], 0, number) == pc::TRowHold::rhNone;
        // A later start finds the kept number, whatever a fresh draw would give.
        const std::uint32_t kept = pc::InstallationRolloutNumber(appDir, pc::DrawRolloutNumber);
        lost += kept != pc::InstallationRolloutNumber(appDir, [] { return pc::kRolloutRange; });
    }
    fs::remove_all(work);
    std::printf("rollout: %d fresh installations, each drawing its number through the launcher's draw and "
                "keeping it in its settings file\n",
                count);
    bool met = lost == 0;
    for (std::size_t s = 0; s < rows.size(); ++s) {
        const double share = 100.0 * taken[s] / count;
        const bool within = share >= shares[s] - 3.0 && share <= shares[s] + 3.0;
        met = met && within;
        std::printf("  row for %3d%%: taken by %4d of %d installations, %5.1f%% (within 3 points: %s)\n",
                    shares[s], taken[s], count, share, within ? "yes" : "NO");
        std::printf("RESULT\trollout\tshare taken of %d%%\t%.3f\t0\tpublished\t%.3f\t0\n", shares[s], share,
                    static_cast<double>(shares[s]));
    }
    std::printf("  rows below 100%% asked for the number %d times; kept numbers not found again: %d\n", drawn,
                lost);
    std::printf("targets %s: each share within 3 points, every number kept\n", met ? "met" : "missed");
    return met ? 0 : 1;
}
