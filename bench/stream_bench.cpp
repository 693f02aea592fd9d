// How fast the programming sequence streams an image, compared with a bare
// loop of 1460-byte sends, and how much memory the program needs for a small
// and a very large image. Everything goes to a simulated unit on loopback that
// only counts bytes.
#include "bench/BenchSupport.h"
#include "engine/UnitProgrammer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kUnit = "127.0.0.77";

// Records only when the stream starts and ends; shows nothing.
class TimingOperator final : public Operator {
public:
    double streamStart = 0, streamEnd = 0;
    int messageBox(const std::string& text, unsigned) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        return mb::kAnswerOk;
    }
    void setProgressRange(std::uint64_t) override {}
    void setProgressPosition(std::uint64_t) override {}
    void beginWaitCursor() override {}
    void endWaitCursor() override {}
    void dispatchPendingEvent() override {}
    void keepPainted() override {}
    void phaseChanged(UnitPhase phase) override {
        if (phase == UnitPhase::Streaming)
            streamStart = bench::seconds();
        if (phase == UnitPhase::VerdictWait)
            streamEnd = bench::seconds();
    }
};

// The fixed pauses of a second or more do not matter to the stream's rate;
// the short ones of the verdict wait are kept so the unit's answer arrives.
class NoPauses final : public platform::Sleeper {
public:
    void sleepFor(std::chrono::milliseconds duration) override {
        if (duration < std::chrono::milliseconds(1000))
            real.sleepFor(duration);
    }
    platform::RealSleeper real;
};

class NoQueues final : public platform::Spooler {
public:
    std::vector<std::string> queueNames() override { return {}; }
    std::unique_ptr<platform::PrintQueue> open(const std::string&, int* error) override {
        *error = 1;
        return nullptr;
    }
};

std::string makeFile(const std::string& path, std::uint64_t size, bool sparse) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (sparse) {
        [[maybe_unused]] int ignored = ::ftruncate(fd, static_cast<off_t>(size));
    } else {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 131 + 7);
        for (std::uint64_t written = 0; written < size; written += block.size())
            [[maybe_unused]] auto ignored = ::write(fd, block.data(), block.size());
    }
    ::close(fd);
    return path;
}

double bareLoop(const std::string& path, std::uint16_t tcpPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(tcpPort);
    ::inet_aton(kUnit, &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return 0;
    int file = ::open(path.c_str(), O_RDONLY);
    char block[1460];
    const double start = bench::seconds();
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(file, block, sizeof block);
        if (got <= 0)
            break;
        ssize_t sent = 0;
        while (sent < got) {
            const ssize_t n =
                ::send(fd, block + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        total += static_cast<std::uint64_t>(got);
    }
    const double took = bench::seconds() - start;
    ::close(file);
    ::close(fd);
    return static_cast<double>(total) / took;
}

}  // namespace

int main() {
    const std::uint16_t udp = bench::freePort(SOCK_DGRAM), tcp = bench::freePort(SOCK_STREAM),
                        status = bench::freePort(SOCK_DGRAM);
    const std::string dir = "/tmp/fwprog-bench-stream";
    std::system(("mkdir -p " + dir).c_str());
    auto sim =
        bench::spawn({FWPROG_SIM, "--unit", kUnit, "--no-hash", "--udp-port", std::to_string(udp),
                      "--tcp-port", std::to_string(tcp), "--status-port", std::to_string(status)},
                     dir + "/sim.log");
    if (!bench::waitForText(dir + "/sim.log", "ready", 5000)) {
        std::fprintf(stderr, "the simulated unit did not start\n");
        return 1;
    }

    const std::uint64_t size = 256ull << 20;
    const std::string image = makeFile(dir + "/image-256M.bin", size, false);
    TimingOperator op;
    NoPauses noPauses;
    NoQueues noQueues;
    EngineOptions options;
    options.endpoints.unitUdpPort = udp;
    options.endpoints.unitTcpPort = tcp;
    options.endpoints.statusPort = status;
    UnitProgrammer programmer(op, noPauses, noQueues, options);
    // Warm the page cache so both runs read from memory.
    bareLoop(image, tcp);

    double bestEngine = 0, bestBare = 0;
    for (int round = 0; round < 3; ++round) {
        const ProgramResult result = programmer.ProgramUnit(image, kUnit);
        const double engineRate = static_cast<double>(size) / (op.streamEnd - op.streamStart);
        const double bareRate = bareLoop(image, tcp);
        if (result != ResultProgrammed)
            std::fprintf(stderr, "unexpected result %d\n", result);
        bestEngine = std::max(bestEngine, engineRate);
        bestBare = std::max(bestBare, bareRate);
    }
    std::printf("stream 256 MiB, best of 3:\n");
    std::printf("  ProgramUnit network path: %8.1f MiB/s\n", bestEngine / (1 << 20));
    std::printf("  bare 1460-byte send loop: %8.1f MiB/s\n", bestBare / (1 << 20));
    std::printf("  ratio (target >= 0.9):    %8.2f\n", bestEngine / bestBare);

    std::printf("peak resident memory of `fwprog single` (target < 64 MiB):\n");
    for (const std::uint64_t imageSize : {1ull << 20, 1ull << 30}) {
        const std::string path =
            makeFile(dir + "/image-" + std::to_string(imageSize >> 20) + "M.bin", imageSize, true);
        auto cli = bench::spawn({FWPROG_CLI, "single", "--image", path, "--target", kUnit,
                                 "--unit-udp-port", std::to_string(udp), "--unit-tcp-port",
                                 std::to_string(tcp), "--status-port", std::to_string(status)},
                                dir + "/cli.log");
        rusage usage{};
        const int exitStatus = bench::waitFor(cli, &usage);
        std::printf("  %5llu MiB image: %6.1f MiB peak RSS (exit %d)\n",
                    static_cast<unsigned long long>(imageSize >> 20),
                    static_cast<double>(usage.ru_maxrss) / 1024.0, exitStatus);
        ::unlink(path.c_str());
    }
    bench::terminate(sim);
    ::unlink(image.c_str());
    return 0;
}
