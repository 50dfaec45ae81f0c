// Processes on Windows: CreateProcessA takes the command line as it stands and finds the program in it
// itself; waiting is WaitForSingleObject on the process.
#include "framework/process.h"

#include "framework/win32/win32_support.h"

#include <vector>

namespace pc {

TStartResult StartProcess(const std::string& commandLine, bool wait) {
    if (commandLine.empty())
        return TStartResult::srFailed;
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                          CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                          &info))
        return TStartResult::srFailed;
    win32::UniqueHandle process(info.hProcess);
    win32::UniqueHandle thread(info.hThread);
    if (wait)
        ::WaitForSingleObject(process.Get(), INFINITE);
    return TStartResult::srStarted;
}

} // namespace pc
