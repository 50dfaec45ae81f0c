// The patchctl dispatcher: each sub-command registers a handler under its name at start-up.
#pragma once

#include <string>
#include <vector>

namespace pc::patchctl {

using Handler = int (*)(const std::vector<std::string>& args);

struct Registration {
    Registration(const char* name, const char* usage, Handler handler);
};

} // namespace pc::patchctl
