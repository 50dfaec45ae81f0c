// Records patch ids in the ledger of DIR, one save after another, from FIRST upwards, until it is killed.
#include "launcher/list/patch_list.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ledger_writer DIR FIRST\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (long id = std::strtol(argv[2], nullptr, 10);; ++id)
        pc::RecordPatchApplied(dir, static_cast<std::int32_t>(id));
}
