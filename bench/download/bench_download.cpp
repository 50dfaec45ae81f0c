// Fetches a large file from nginx on loopback with `Download` and with `curl -s -o`, alternating, and
// prints the median times, their ratio and our peak resident memory.
#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "launcher/net/download.h"
#include "launcher/ui_port.h"
#include "tests/support/nginx_server.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

// A window that does nothing but count the progress it is shown.
class ProgressSink : public pc::UiPort {
public:
    void SetApplicationTitle(const std::string&) override {}
    std::string GetApplicationTitle() const override { return {}; }
    void SetWindowCaption(const std::string&) override {}
    void SetServerLabel(const std::string&) override {}
    void NavigateNews(const std::string&) override {}
    void ArmPatchTimer() override {}
    std::unique_ptr<pc::TMemo> CreateHiddenTextBuffer() override { return std::make_unique<pc::TMemo>(); }
    void DestroyHiddenTextBuffer(std::unique_ptr<pc::TMemo>) override {}
    void AppendLogLine(const std::string&) override {}
    void ReplaceLastLogLine(const std::string&) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressPosition(std::int32_t) override {}
    void SetProgressMax(std::int32_t) override {}
    void StepProgress(std::int32_t delta) override { stepped += delta; }
    void PumpMessages() override {}
    void ShowMessageBox(const std::string&) override {}
    void TerminateApplication() override {}
    bool TerminationRequested() const override { return false; }
    pc::TZipArchiver& ZipArchiver() override {
        throw pc::Exception("no archive component in this benchmark");
    }

    std::int64_t stepped = 0;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Peak resident set of this process in KiB.
long PeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Runs a program found on PATH and waits for it; its peak resident memory raises `peakKiB`. Spawned rather
// than forked, so that this process's own memory does not count as the child's. Returns the exit status.
int RunMeasured(const std::vector<std::string>& argv, long& peakKiB) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return -1;
    peakKiB = std::max(peakKiB, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <typename F> double Seconds(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::uintmax_t mib = argc > 2 ? static_cast<std::uintmax_t>(std::max(1, std::atoi(argv[2]))) : 256;
    const std::uintmax_t size = mib * 1024 * 1024;

    char pattern[] = "/tmp/pc-bench-download-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    std::filesystem::create_directory(dir / "www");
    {
        // Written piecewise so that making the file does not inflate the peak we measure.
        std::ofstream out(dir / "www/payload.bin", std::ios::binary);
        std::vector<char> block(1024 * 1024);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((i * 2654435761u) >> 13);
        for (std::uintmax_t i = 0; i < mib; ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }

    int status = 0;
    try {
        pc::test::NginxServer server(dir / "www");
        const std::string url = server.Url("/payload.bin");
        const std::string ours = (dir / "ours.bin").string();
        const std::string theirs = (dir / "curl.bin").string();
        long curlPeakKiB = 0;

        std::vector<double> oursTimes;
        std::vector<double> curlTimes;
        for (int round = 0; round < rounds; ++round) {
            auto runOurs = [&] {
                ProgressSink ui;
                bool ok = false;
                oursTimes.push_back(
                    Seconds([&] { ok = pc::Download(ui, url, ours, pc::TProgressBar::pbStep); }));
                if (!ok || ui.stepped != static_cast<std::int64_t>(size) ||
                    std::filesystem::file_size(ours) != size)
                    throw std::runtime_error("our download came out wrong");
            };
            auto runCurl = [&] {
                int rc = 0;
                curlTimes.push_back(Seconds([&] {
                    rc = RunMeasured({"curl", "-s", "-o", theirs, url}, curlPeakKiB);
                }));
                if (rc != 0 || std::filesystem::file_size(theirs) != size)
                    throw std::runtime_error("curl's download came out wrong");
            };
            // Alternate who goes first so that neither always meets a warm or a cold cache.
            if (round % 2 == 0) {
                runOurs();
                runCurl();
            } else {
                runCurl();
                runOurs();
            }
        }
        const double oursMedian = Median(oursTimes);
        const double curlMedian = Median(curlTimes);
        std::printf("download: %llu MiB from nginx on loopback, %d rounds each\n",
                    static_cast<unsigned long long>(mib), rounds);
        std::printf("download: Download median %.3f s, curl -s -o median %.3f s\n", oursMedian, curlMedian);
        std::printf("download: time ratio ours/curl %.2f (target <= 1.2)\n", oursMedian / curlMedian);
        std::printf("download: our peak RSS %.1f MiB (target < 16 MiB)\n",
                    static_cast<double>(PeakRssKiB()) / 1024);
        // For scripts/bench's table.
        std::printf("RESULT\tdownload\t%llu MiB from nginx on loopback\t%.3f\t%.1f\tcurl -s -o\t%.3f\t%.1f\n",
                    static_cast<unsigned long long>(mib), oursMedian,
                    static_cast<double>(PeakRssKiB()) / 1024, curlMedian,
                    static_cast<double>(curlPeakKiB) / 1024);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench download: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
