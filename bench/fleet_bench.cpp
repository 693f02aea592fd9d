// Programs 50 and 200 simulated units with the real schedule: one after the
// other (estimated from a run of 20) against `--jobs 16` and `--jobs 64`, and
// checks that every image arrived whole and every verdict reached its unit.
//   FWPROG_BENCH_FULL=1  also measures the sequential batch of 50 instead of estimating it
//   bench_fleet --busy [N]  a busy computer instead: N units (default and most 5,000) at once
//                           with two CPU-bound processes running beside fwprog, against one
//                           unit alone in the same run: wall time, fwprog's CPU time and peak
//                           resident memory, verdicts lost and status datagrams dropped
//   bench_fleet --quiet [N]  the same on a quiet computer: no CPU-bound process beside fwprog
//   bench_fleet --pause-gain  200 units at `--jobs 16` alone: wall time and units/min
#include "bench/BenchSupport.h"
#include "engine/Timing.h"

#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
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
    double cpuSeconds = 0;   // fwprog's, user and system
    double peakRssMiB = 0;   // fwprog's
    long long dropped = -1;  // "status_datagrams_dropped"; -1 when not told
};

RunFigures runBatch(int units, int jobs, const std::string& imageSha,
                    const std::string& imagePath = kDir + "/image.bin") {
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
    if (!bench::waitForText(kDir + "/sim.log", "\"ready\"", 120000)) {
        std::fprintf(stderr, "the simulated units did not start\n");
        std::exit(1);
    }
    const double start = bench::seconds();
    auto cli = bench::spawn(
        {FWPROG_CLI, "multiple", "--image", imagePath, "--list", kDir + "/units.txt", "--jobs",
         std::to_string(jobs), "--json", "--unit-udp-port", std::to_string(udp), "--unit-tcp-port",
         std::to_string(tcp), "--status-port", std::to_string(status)},
        kDir + "/result.json", kDir + "/stderr.txt");
    rusage usage{};
    bench::waitFor(cli, &usage);
    RunFigures figures;
    figures.seconds = bench::seconds() - start;
    figures.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    figures.peakRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
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
    if (report.is_object() && report.contains("status_datagrams_dropped") &&
        report["status_datagrams_dropped"].is_number())
        figures.dropped = report["status_datagrams_dropped"].get<long long>();
    if (report.is_object() && report.contains("units"))
        for (const auto& unit : report["units"]) {
            const auto target = unit.value("target", std::string());
            const auto found = expected.find(target);
            figures.verdictsAttributed +=
                found != expected.end() && unit.value("result", -1000) == found->second ? 1 : 0;
        }
    return figures;
}

// An image of this many bytes at path; its SHA-256 as the simulator reports it.
std::string makeImage(const std::string& path, int bytes) {
    {
        std::ofstream image(path, std::ios::binary);
        for (int i = 0; i < bytes; ++i)
            image.put(static_cast<char>((static_cast<unsigned>(i) * 2654435761u) >> 24));
    }
    auto child = bench::spawn({"/usr/bin/sha256sum", path}, kDir + "/sha.txt");
    bench::waitFor(child);
    return slurp(kDir + "/sha.txt").substr(0, 64);
}

std::string loadAverage() {
    const std::string load = slurp("/proc/loadavg");
    return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

void printBusy(const char* what, const RunFigures& run, int units, double alone) {
    std::printf("  %-22s %7.2f s", what, run.seconds);
    if (alone > 0)
        std::printf(" (%.2fx one unit)", run.seconds / alone);
    std::printf(
        "  CPU %.2f s  peak RSS %.1f MiB  images verified %d/%d  verdicts lost %d  "
        "status datagrams dropped %lld\n",
        run.cpuSeconds, run.peakRssMiB, run.imagesVerified, units, units - run.verdictsAttributed,
        run.dropped);
}

// N units at once beside `burnerCount` CPU-bound processes, and one unit
// alone the same way.
int runBusy(int units, int burnerCount) {
    // The simulator holds three sockets a unit and one a connection, fwprog up
    // to three a unit in flight: past most hard limits at 5,000 units, so the
    // hard limit is raised too where this process may (root).
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t wanted = static_cast<rlim_t>(units) * 8 + 1024;
    if (files.rlim_max < wanted) {
        rlimit raised{wanted, wanted};
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            std::fprintf(stderr, "could not raise the descriptor limit to %llu\n",
                         static_cast<unsigned long long>(wanted));
    }
    const std::string image = kDir + "/busy.bin";
    const std::string sha = makeImage(image, 64 * 1024);
    std::printf(
        "%s computer: %d units at once (--jobs %d), 64 KiB image, 2 s flash delay, "
        "real schedule, %d CPU-bound processes beside fwprog; load average before: %s\n",
        burnerCount > 0 ? "busy" : "quiet", units, units, burnerCount, loadAverage().c_str());
    std::vector<bench::Child> burners;
    for (int i = 0; i < burnerCount; ++i)
        burners.push_back(bench::spawn({"/bin/sh", "-c", "while :; do :; done"}));
    const RunFigures alone = runBatch(1, units, sha, image);
    const RunFigures fleet = runBatch(units, units, sha, image);
    for (const auto& burner : burners)
        bench::terminate(burner);
    printBusy("1 unit alone", alone, 1, 0);
    printBusy((std::to_string(units) + " units").c_str(), fleet, units, alone.seconds);
    std::printf("  load average after: %s\n", loadAverage().c_str());
    return fleet.verdictsAttributed == units && fleet.dropped <= 0 ? 0 : 1;
}

// 200 units at --jobs 16 and nothing else, the figure a restart pause that
// holds a slot costs most: compare it with the same run of an earlier build.
int runPauseGain() {
    constexpr int units = 200, jobs = 16;
    const std::string sha = makeImage(kDir + "/image.bin", 256 * 1024);
    std::printf("each unit: 256 KiB image, 2 s flash delay, real schedule; restart pause %.1f s\n",
                std::chrono::duration<double>(engine::timing::kPauseAfterConfirmedUnit).count());
    const RunFigures run = runBatch(units, jobs, sha);
    std::printf(
        "%d units at --jobs %d: %.1f s  %.1f units/min  images verified %d/%d  verdicts "
        "attributed %d/%d\n",
        units, jobs, run.seconds, 60.0 * units / run.seconds, run.imagesVerified, units,
        run.verdictsAttributed, units);
    return run.verdictsAttributed == units ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::system(("mkdir -p " + kDir).c_str());
    if (argc > 1 && (std::string(argv[1]) == "--busy" || std::string(argv[1]) == "--quiet")) {
        const int units = argc > 2 ? std::atoi(argv[2]) : 5000;
        if (units < 1 || units > 5000) {
            std::fprintf(stderr, "bench_fleet %s N: N from 1 to 5000\n", argv[1]);
            return 2;
        }
        return runBusy(units, std::string(argv[1]) == "--busy" ? 2 : 0);
    }
    if (argc > 1 && std::string(argv[1]) == "--pause-gain")
        return runPauseGain();
    const std::string sha = makeImage(kDir + "/image.bin", 256 * 1024);

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
