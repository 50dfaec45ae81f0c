#include "framework/console.h"
#include "framework/exceptions.h"
#include "tools/patchctl/command.h"

#include <cstdio>
#include <map>
#include <string>

namespace pc::patchctl {
namespace {

struct Entry {
    std::string usage;
    Handler handler;
};

std::map<std::string, Entry>& Commands() {
    static std::map<std::string, Entry> commands;
    return commands;
}

int Usage() {
    std::fputs("usage: patchctl COMMAND ...\n", stderr);
    for (const auto& [name, entry] : Commands())
        std::fprintf(stderr, "  patchctl %s\n", entry.usage.c_str());
    return 2;
}

} // namespace

Registration::Registration(const char* name, const char* usage, Handler handler) {
    Commands()[name] = Entry{usage, handler};
}

} // namespace pc::patchctl

int main(int argc, char** argv) {
    using namespace pc::patchctl;
    pc::PrepareConsoleOutput();
    if (argc < 2)
        return Usage();
    auto it = Commands().find(argv[1]);
    if (it == Commands().end())
        return Usage();
    std::vector<std::string> args(argv + 2, argv + argc);
    try {
        return it->second.handler(args);
    } catch (const pc::Exception& e) {
        std::fprintf(stderr, "%s\n", pc::WithClosingPeriod(e.Message()).c_str());
        return 1;
    }
}
