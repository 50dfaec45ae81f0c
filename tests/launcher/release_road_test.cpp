#include "launcher/list/release_road.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pc::TRoadFacts;
using pc::TRoadKind;

// Five releases after the first; the chain's rows cost 100 each, release 6's direct rows reach back to
// release 3, and release 6's client.zip is 1,000.
TRoadFacts Facts(std::optional<std::int32_t> installed) {
    TRoadFacts facts;
    facts.installed = installed;
    facts.latest = 6;
    for (std::int32_t n = 2; n <= 6; ++n)
        facts.chainBytes[n] = 100;
    facts.directBytes = {{3, 150}, {4, 120}};
    facts.snapshotBytes = 1000;
    return facts;
}

TEST(ReleaseRoad, TakesTheCheapestRoadTheListOffers) {
    struct Case {
        const char* what;
        TRoadFacts facts;
        TRoadKind kind;
        std::int64_t bytes;
        std::string line;
    };
    TRoadFacts dearDirect = Facts(3);
    dearDirect.directBytes[3] = 301;
    TRoadFacts dearChain = Facts(1);
    dearChain.chainBytes[2] = 5000;
    TRoadFacts gap = Facts(1);
    gap.chainBytes.erase(4);
    TRoadFacts nothing = Facts(std::nullopt);
    nothing.fromNothing = true;
    TRoadFacts nothingNoSnapshot = nothing;
    nothingNoSnapshot.snapshotBytes.reset();
    TRoadFacts splitRelease = dearDirect; // release 5 in two rows, each counted as a step
    splitRelease.chainSteps[5] = 2;
    TRoadFacts noReleases;
    noReleases.installed = 2;
    const Case cases[] = {
        {"a direct row cheaper than the chain", Facts(3), TRoadKind::rkDirect, 150,
         "- Updating from release 3 to release 6 in one step (0.0 MB)"},
        {"a chain cheaper than the direct row", dearDirect, TRoadKind::rkRows, 300,
         "- Updating from release 3 to release 6 in 3 steps (0.0 MB)"},
        {"a release in two rows", splitRelease, TRoadKind::rkRows, 300,
         "- Updating from release 3 to release 6 in 4 steps (0.0 MB)"},
        {"one behind: the row itself", Facts(5), TRoadKind::rkRows, 100,
         "- Updating from release 5 to release 6 in 1 step (0.0 MB)"},
        {"beyond the direct rows, the chain cheaper", Facts(1), TRoadKind::rkRows, 500,
         "- Updating from release 1 to release 6 in 5 steps (0.0 MB)"},
        {"beyond the direct rows, the snapshot cheaper", dearChain, TRoadKind::rkHeal, 1000,
         "- Updating from release 1 to release 6 from its whole client (at most 0.0 MB)"},
        {"a chain with a row missing", gap, TRoadKind::rkHeal, 1000,
         "- Updating from release 1 to release 6 from its whole client (at most 0.0 MB)"},
        {"up to date", Facts(6), TRoadKind::rkRows, 0, ""},
        {"from nothing", nothing, TRoadKind::rkHeal, 1000, "- Installing release 6 (0.0 MB)"},
        {"from nothing without a snapshot's size", nothingNoSnapshot, TRoadKind::rkRows, 0, ""},
        {"a list without releases", noReleases, TRoadKind::rkRows, 0, ""},
    };
    for (const Case& c : cases) {
        const pc::TRoad road = pc::ChooseRoad(c.facts);
        EXPECT_EQ(road.kind, c.kind) << c.what;
        EXPECT_EQ(road.bytes, c.bytes) << c.what;
        EXPECT_EQ(pc::RoadLine(c.facts, road), c.line) << c.what;
    }
    TRoadFacts big = Facts(3);
    big.directBytes[3] = 41'234'567;
    big.chainBytes[6] = 50'000'000;
    big.installed = 3;
    EXPECT_EQ(pc::RoadLine(big, pc::ChooseRoad(big)),
              "- Updating from release 3 to release 6 in one step (41.2 MB)");
}

} // namespace
