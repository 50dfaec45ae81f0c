// A Windows program the launching tests start: it writes how it was started into "<its own path>.report"
// (arguments as the C runtime split them, then the current directory and PC_LAUNCH_MARK), after sleeping
// for the milliseconds given by a first argument "--sleep=N". The report appears in one move, when done.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--sleep=", 8) == 0) {
        ::Sleep(static_cast<DWORD>(std::atoi(argv[1] + 8)));
        first = 2;
    }
    char self[MAX_PATH * 2] = {};
    ::GetModuleFileNameA(nullptr, self, sizeof self);
    std::string report;
    for (int i = first; i < argc; ++i)
        report += std::string(argv[i]) + "|";
    char cwd[MAX_PATH * 2] = {};
    ::GetCurrentDirectoryA(sizeof cwd, cwd);
    const char* mark = std::getenv("PC_LAUNCH_MARK");
    report += "\ncwd=" + std::string(cwd) + "\nenv=" + (mark ? mark : "") + "\n";
    const std::string temporary = std::string(self) + ".tmp";
    if (FILE* out = std::fopen(temporary.c_str(), "wb")) {
        std::fwrite(report.data(), 1, report.size(), out);
        std::fclose(out);
        ::MoveFileExA(temporary.c_str(), (std::string(self) + ".report").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return 0;
}
