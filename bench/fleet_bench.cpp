// Programs 50 and 200 simulated units with the real schedule: one after the
// other (estimated from a run of 20) against `--jobs 16` and `--jobs 64`, and
// checks that every image arrived whole and every verdict reached its unit.
//   FWPROG_BENCH_FULL=1  also measures the sequential batch of 50 instead of estimating it
#include "bench/BenchSupport.h"

#include <nlohmann/json.hpp>

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kDir = "/tmp/fwprog-bench-fleet";

std::string unitAddress(int i) {
    return "127.0." + std::to_string(200 + i / 200) + "." + std::to_string(2 + i % 200);
}

// Even units report success, odd ones a verify error: a verdict filed under
// the wrong unit shows as a wrong result.
int statusOf(int i) {
    return i % 2 == 0 ? 0 : 2;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

struct RunFigures {
    double seconds = 0;
    int imagesVerified = 0;
    int verdictsAttributed = 0;
};

RunFigures runBatch(int units, int jobs, const std::string& imageSha) {
    const std::uint16_t udp = bench::freePort(SOCK_DGRAM), tcp = bench::freePort(SOCK_STREAM),
                        status = bench::freePort(SOCK_DGRAM);
    std::vector<std::string> simArgs = {
        FWPROG_SIM,          "--udp-port",    std::to_string(udp),   "--tcp-port",
        std::to_string(tcp), "--status-port", std::to_string(status)};
    std::string list;
    for (int i = 0; i < units; ++i) {
        simArgs.insert(simArgs.end(), {"--unit", unitAddress(i), "--status",
                                       std::to_string(statusOf(i)), "--flash-delay", "2000"});
        list += unitAddress(i) + "\r\n";
    }
    std::ofstream(kDir + "/units.txt", std::ios::binary) << list;
    auto sim = bench::spawn(simArgs, kDir + "/sim.log");
    if (!bench::waitForText(kDir + "/sim.log", "\"ready\"", 10000)) {
        std::fprintf(stderr, "the simulated units did not start\n");
        std::exit(1);
    }
    const double start = bench::seconds();
    auto cli = bench::spawn(
        {FWPROG_CLI, "multiple", "--image", kDir + "/image.bin", "--list", kDir + "/units.txt",
         "--jobs", std::to_string(jobs), "--json", "--unit-udp-port", std::to_string(udp),
         "--unit-tcp-port", std::to_string(tcp), "--status-port", std::to_string(status)},
        kDir + "/result.json");
    bench::waitFor(cli);
    RunFigures figures;
    figures.seconds = bench::seconds() - start;
    bench::terminate(sim);

    const std::string events = slurp(kDir + "/sim.log");
    std::regex image("\"event\":\"image\",\"unit\":\"([0-9.]+)\"[^\\n]*\"sha256\":\"([0-9a-f]+)\"");
    for (auto it = std::sregex_iterator(events.begin(), events.end(), image);
         it != std::sregex_iterator(); ++it)
        figures.imagesVerified += (*it)[2] == imageSha ? 1 : 0;

    std::map<std::string, int> expected;
    for (int i = 0; i < units; ++i)
        expected[unitAddress(i)] = statusOf(i) == 0 ? 0 : 102;
    // Each unit's result as fwprog reports it, whatever else its entry holds.
    const auto report = nlohmann::json::parse(slurp(kDir + "/result.json"), nullptr, false);
    if (report.is_object() && report.contains("units"))
        for (const auto& unit : report["units"]) {
            const auto target = unit.value("target", std::string());
            const auto found = expected.find(target);
            figures.verdictsAttributed +=
                found != expected.end() && unit.value("result", -1000) == found->second ? 1 : 0;
        }
    return figures;
}

}  // namespace

int main() {
    std::system(("mkdir -p " + kDir).c_str());
    {
        std::ofstream image(kDir + "/image.bin", std::ios::binary);
        for (int i = 0; i < 256 * 1024; ++i)
            image.put(static_cast<char>((static_cast<unsigned>(i) * 2654435761u) >> 24));
    }
    // The simulator hashes what it receives; hash the file the same way.
    const std::string sha = [] {
        auto child = bench::spawn({"/usr/bin/sha256sum", kDir + "/image.bin"}, kDir + "/sha.txt");
        bench::waitFor(child);
        return slurp(kDir + "/sha.txt").substr(0, 64);
    }();

    std::printf("each unit: 256 KiB image, 2 s flash delay, real schedule\n");
    const RunFigures sequential20 = runBatch(20, 1, sha);
    const double perUnit = sequential20.seconds / 20.0;
    std::printf(
        "sequential, 20 units: %.1f s (%.2f s a unit), %d/20 images verified, %d/20 "
        "verdicts attributed\n",
        sequential20.seconds, perUnit, sequential20.imagesVerified,
        sequential20.verdictsAttributed);
    const bool full = std::getenv("FWPROG_BENCH_FULL") != nullptr;
    for (const int units : {50, 200}) {
        double sequentialSeconds = perUnit * units;
        const char* how = "estimated from 20";
        if (full && units == 50) {
            const RunFigures measured = runBatch(units, 1, sha);
            sequentialSeconds = measured.seconds;
            how = "measured";
        }
        std::printf("\n%d units\n", units);
        std::printf("  sequential   %7.1f s  %6.1f units/min  (%s)\n", sequentialSeconds,
                    60.0 * units / sequentialSeconds, how);
        for (const int jobs : {16, 64}) {
            const RunFigures run = runBatch(units, jobs, sha);
            std::printf(
                "  --jobs %-3d   %7.1f s  %6.1f units/min  speed-up %5.1fx  images "
                "verified %d/%d  verdicts attributed %d/%d\n",
                jobs, run.seconds, 60.0 * units / run.seconds, sequentialSeconds / run.seconds,
                run.imagesVerified, units, run.verdictsAttributed, units);
        }
    }
    return 0;
}
