#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A child process started with the given arguments; stdout (and stderr) to a file.
struct Child {
    pid_t pid = -1;
    std::string stdoutPath;
};
Child spawn(const std::vector<std::string>& args, const std::string& stdoutPath = "/dev/null",
            const std::string& stderrPath = "/dev/null");
// Waits for the child; its exit status and resource use.
int waitFor(const Child& child, rusage* usage = nullptr);
void terminate(const Child& child);

// Waits until the file holds the text (e.g. the simulator's "ready" event).
bool waitForText(const std::string& path, const std::string& text, int timeoutMs);

std::uint16_t freePort(int type);
double seconds();

}  // namespace bench
