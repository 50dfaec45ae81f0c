// How `patchctl lint` tells what it found, shared by its checks of the list and those that download.
#pragma once

#include "framework/helpers.h"

#include <cstdio>
#include <string>
#include <utility>

namespace pc::patchctl {

// "1 problem", "2 problems".
inline std::string Counted(int n, const char* noun) {
    return FormatInteger(n) + " " + noun + (n == 1 ? "" : "s");
}

// Problems and notes of one list on stdout, each with the list's name and its line.
class LintReport {
public:
    explicit LintReport(std::string file) : file_(std::move(file)) {}

    void Problem(int line, const std::string& text) {
        std::printf("%s:%d: %s\n", file_.c_str(), line, text.c_str());
        ++problems_;
    }
    void Information(int line, const std::string& text) {
        std::printf("%s:%d: info: %s\n", file_.c_str(), line, text.c_str());
    }
    int Problems() const { return problems_; }

private:
    std::string file_;
    int problems_ = 0;
};

} // namespace pc::patchctl
