// What the end-to-end update suites of both editions share: the test realm's configuration, nginx's
// access log read line by line, archive bodies that do not compress, and a run killed once its download
// has come far enough.
#pragma once

#include "launcher/config.h"
#include "launcher/update_run.h"
#include "tests/support/child_process.h"

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pc::test {

// The update run as the window starts it: in the installation of Config(), with its list's mirrors and
// key, from `listUrl`.
inline void RunUpdate(UiPort& ui, const std::string& listUrl) {
    TListSource list = Config().ListSource();
    list.url = listUrl;
    UpdateRun(ui, Config().applicationDir, list);
}

// The plain Config.ini of the test realm whose news and patch list lie at the given URLs.
inline std::string RealmConfig(const std::string& newsUrl, const std::string& listUrl) {
    return "client_title=Test Realm\n"
           "newsfile_url=" +
           newsUrl +
           "\n"
           "patchlist_url=" +
           listUrl +
           "\n"
           "server_name=Test Realm\n"
           "website_url=http://realm.example/\n"
           "controlpanel_url=http://realm.example/cp\n"
           "forum_url=http://realm.example/forum\n"
           "client_exe=game.exe\n";
}

// The access log's lines for requests whose target contains `part`: "\"GET /x HTTP/1.1\" 200 1234
// connection=5".
inline std::vector<std::string> LogLinesFor(const std::string& log, const std::string& part) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos)
            lines.push_back(line);
    return lines;
}

// The status and the body bytes sent of one access log line.
inline int StatusOf(const std::string& logLine) {
    std::istringstream in(logLine.substr(logLine.rfind('"') + 1));
    int status = 0;
    in >> status;
    return status;
}
inline long long BytesSent(const std::string& logLine) {
    std::istringstream in(logLine.substr(logLine.rfind('"') + 1));
    int status = 0;
    long long bytes = 0;
    in >> status >> bytes;
    return bytes;
}

// `size` bytes that deflate cannot shrink, the same for the same seed.
inline std::string NoiseBytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Kills `pid` once `file` holds at least `bytes`, or when `limit` has passed; returns the file's size after
// the child has ended (0 when there is no file).
inline std::uintmax_t KillWhenFileReaches(pid_t pid, const std::filesystem::path& file, std::uintmax_t bytes,
                                          std::chrono::seconds limit) {
    auto size = [&] {
        std::error_code error;
        const auto now = std::filesystem::file_size(file, error);
        return error ? std::uintmax_t{0} : now;
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline && size() < bytes)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(pid, SIGKILL);
    WaitChild(pid, std::chrono::seconds(10));
    return size();
}

} // namespace pc::test
