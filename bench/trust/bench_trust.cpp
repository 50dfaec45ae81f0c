// An installation that missed 50 rotations walks them all in one run: the statement file of 50 chained
// versions (each a new key, signed by the key before and its own) is read and every signature verified, as
// the launcher does before it believes a list. The peer is the openssl tool verifying the same 100
// signatures over the same bytes, one `openssl dgst -verify` each, as an operator's script would.
#include "framework/crypto.h"
#include "launcher/list/trust_statement.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kNow = 1'800'000'000;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// CPU seconds (user and system) of this process, or of the children it waited for: the machines these run
// on are shared, where wall time says more about the neighbours than about the work.
double CpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The peak resident set in MiB of this process, or of the largest child it waited for.
double PeakMiB(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    const int versions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;

    std::vector<std::string> pems;
    for (int i = 0; i <= versions; ++i)
        pems.push_back(pc::NewSigningKeyPem());
    std::vector<pc::TTrustStatement> chain;
    for (int i = 1; i <= versions; ++i) {
        pc::TTrustStatement next;
        next.version = static_cast<std::uint64_t>(i) + 1;
        next.expires = kNow + 86400;
        next.keys = {pc::PublicKeyOfSigningKey(pems[static_cast<std::size_t>(i)])};
        for (const std::string& pem :
             {pems[static_cast<std::size_t>(i) - 1], pems[static_cast<std::size_t>(i)]})
            next.signatures.push_back(pc::TSignature{pc::KeyIdOf(pc::PublicKeyOfSigningKey(pem)),
                                                     pc::SignData(pem, pc::StatementMessage(next))});
        chain.push_back(next);
    }
    const std::string file = pc::FormatTrustFile(chain);
    const pc::TTrustStatement implied = pc::ImpliedStatement(pc::PublicKeyOfSigningKey(pems.front()));

    std::vector<double> ours;
    for (int round = 0; round < rounds; ++round) {
        const double start = CpuSeconds(RUSAGE_SELF);
        const pc::TTrustVerdict verdict = pc::WalkTrust(implied, pc::ParseTrustFile(file), kNow);
        ours.push_back(CpuSeconds(RUSAGE_SELF) - start);
        if (verdict.outcome != pc::TTrustOutcome::Accepted ||
            verdict.current.version != static_cast<std::uint64_t>(versions) + 1) {
            std::fprintf(stderr, "trust: the chain did not verify: %s\n", verdict.reason.c_str());
            return 1;
        }
    }

    // The same signatures for the openssl tool: each statement's bytes, each signature, each key as DER.
    char pattern[] = "/tmp/pc-bench-trust-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    std::string script = "set -e\n";
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const std::string n = std::to_string(i);
        Write(dir / ("m" + n), pc::StatementMessage(chain[i]));
        for (std::size_t s = 0; s < 2; ++s) {
            const std::string id = n + "_" + std::to_string(s);
            Write(dir / ("k" + id), pc::PublicKeyOfSigningKey(pems[i + s]));
            Write(dir / ("s" + id), chain[i].signatures[s].bytes);
            script += "openssl dgst -sha256 -keyform DER -verify k" + id + " -signature s" + id + " m" + n +
                      " >/dev/null\n";
        }
    }
    Write(dir / "verify.sh", script);
    const std::string command = "cd '" + dir.string() + "' && sh verify.sh";
    std::vector<double> peer;
    for (int round = 0; round < std::max(1, rounds / 4); ++round) {
        const double start = CpuSeconds(RUSAGE_CHILDREN);
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "trust: openssl did not verify the chain\n");
            return 1;
        }
        peer.push_back(CpuSeconds(RUSAGE_CHILDREN) - start);
    }
    std::filesystem::remove_all(dir);

    const double oursMedian = Median(ours), peerMedian = Median(peer);
    std::printf(
        "trust: %d chained versions read and verified in %.1f ms of CPU time (median of %d; target < 50 ms); "
        "openssl dgst -verify of the same %d signatures %.1f ms\n",
        versions, oursMedian * 1000, rounds, 2 * versions, peerMedian * 1000);
    std::printf("RESULT\ttrust\t%d chained versions verified\t%.3f\t%.1f\topenssl dgst\t%.3f\t%.1f\n",
                versions, oursMedian, PeakMiB(RUSAGE_SELF), peerMedian, PeakMiB(RUSAGE_CHILDREN));
    return 0;
}
