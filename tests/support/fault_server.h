// The scripted faulty HTTP server (fault_server.py) on a free loopback port, for failures that nginx
// cannot be made to produce. Stopped in the destructor.
#pragma once

#include "tests/support/server_process.h"

namespace pc::test {

class FaultServer {
public:
    // `script` defaults to the copy in the source tree.
    explicit FaultServer(std::string script = std::string(PATCH_SOURCE_DIR) +
                                              "/tests/support/fault_server.py") {
        BypassProxiesForLoopback();
        process_.Start({"python3", "-u", script}, true);
        port_ = std::stoi(process_.ReadLine());
    }

    int Port() const { return port_; }
    // The URL of `path` (starting with '/'); the paths are listed in fault_server.py.
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    ServerProcess process_;
    int port_ = 0;
};

} // namespace pc::test
