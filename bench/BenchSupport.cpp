#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {

Child spawn(const std::vector<std::string>& args, const std::string& stdoutPath,
            const std::string& stderrPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The programs' own progress lines would bury the figures.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    Child child;
    child.stdoutPath = stdoutPath;
    if (::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

int waitFor(const Child& child, rusage* usage) {
    int status = 0;
    rusage ignored{};
    ::wait4(child.pid, &status, 0, usage ? usage : &ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void terminate(const Child& child) {
    if (child.pid > 0) {
        ::kill(child.pid, SIGTERM);
        waitFor(child);
    }
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        std::ifstream in(path);
        std::stringstream content;
        content << in.rdbuf();
        if (content.str().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::uint16_t freePort(int type) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t len = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    ::close(fd);
    return ntohs(address.sin_port);
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace bench
