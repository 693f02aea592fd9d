#include "sim/SimulatorCommandLine.h"
#include "sim/UnitSimulator.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto line = sim::parseCommandLine(args, &error);
    if (!line) {
        std::fprintf(stderr, "fwprog-unit-sim: %s\nTry 'fwprog-unit-sim --help'.\n", error.c_str());
        return 2;
    }
    if (line->help) {
        std::fputs(sim::usageText().c_str(), stdout);
        return 0;
    }

    // Each unit holds three sockets and one per open connection: a few hundred
    // units streaming at once pass the usual soft limit of 1024 descriptors.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // The signals are taken here by sigtimedwait; the serving thread inherits
    // the mask, so no handler ever runs in the middle of its work.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::UnitSimulator simulator(line->units, line->options);
    simulator.setEventCallback([](const sim::Event& event) {
        std::fputs(event.json.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "fwprog-unit-sim: %s\n", error.c_str());
        return 1;
    }
    const timespec tick{0, 100 * 1000 * 1000};
    while (!simulator.finished()) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM)
            break;
    }
    simulator.stop();
    return 0;
}
