// The patch list checks of `patchctl lint`, for the commands that change a list and for lint's own checks
// that download.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace pc::patchctl {

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

// Checks the patch list at `path` by the launcher's reading rules and prints every problem on stdout with
// `label` and its line number. Returns the number of problems; `rowCount` receives the number of rows.
// EFOpenError when the file cannot be read.
int LintList(const std::string& path, const std::string& label, int& rowCount);

} // namespace pc::patchctl
