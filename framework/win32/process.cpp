// Processes on Windows: CreateProcessA takes the command line as it stands and finds the program in it
// itself; waiting is WaitForSingleObject on the process.
#include "framework/process.h"

#include "framework/win32/win32_support.h"

#include <vector>

namespace pc {
namespace {

// `directory` empty: the child inherits the current directory.
TStartResult Create(const std::string& commandLine, const std::string& directory, bool wait) {
    if (commandLine.empty())
        return TStartResult::srFailed;
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                          CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, nullptr,
                          directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        return TStartResult::srFailed;
    win32::UniqueHandle process(info.hProcess);
    win32::UniqueHandle thread(info.hThread);
    if (wait)
        ::WaitForSingleObject(process.Get(), INFINITE);
    return TStartResult::srStarted;
}

} // namespace

TStartResult StartProcess(const std::string& commandLine, bool wait) {
    return Create(commandLine, std::string(), wait);
}

TStartResult StartProgram(const std::string& program, const std::string& arguments,
                          const std::string& directory, bool wait) {
    // In double quotes the system takes the whole path as the program, blanks and all, instead of trying
    // its blank-separated prefixes (a file "C:\Games\Ember" planted beside "C:\Games\Ember Realm\").
    if (program.empty() || program.find('"') != std::string::npos)
        return TStartResult::srFailed;
    std::string commandLine = "\"" + program + "\"";
    if (!arguments.empty())
        commandLine += " " + arguments;
    return Create(commandLine, directory, wait);
}

} // namespace pc
