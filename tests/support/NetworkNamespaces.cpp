#include "tests/support/NetworkNamespaces.h"

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace testing_support {

namespace {

const std::string kBinary = FWPROG_BINARY_DIR;

int run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

NetworkNamespaces::NetworkNamespaces() {
    if (::geteuid() != 0) {
        failure_ = "network namespaces need root";
        return;
    }
    dir_ = "/tmp/fwp-netns-" + std::to_string(::getpid()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
    run("mkdir -p " + dir_);
}

NetworkNamespaces::~NetworkNamespaces() {
    for (pid_t pid : children_)
        if (pid > 0)
            ::kill(pid, SIGTERM);
    for (pid_t pid : children_)
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
    // Removing a namespace removes its links, bridges and veths.
    for (const auto& name : created_)
        run("ip netns del " + name);
    if (!dir_.empty() && !std::getenv("FWPROG_KEEP_NETNS_LOGS"))
        run("rm -rf " + dir_);
}

bool NetworkNamespaces::add(const std::string& role) {
    static std::atomic<int> counter{0};
    const std::string name =
        "fwp-" + role + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (run("ip netns add " + name) != 0) {
        failure_ = "cannot make network namespaces here (ip netns add failed)";
        return false;
    }
    created_.push_back(name);
    names_[role] = name;
    return ip(role, "link set lo up");
}

std::string NetworkNamespaces::name(const std::string& role) const {
    auto found = names_.find(role);
    return found == names_.end() ? std::string() : found->second;
}

bool NetworkNamespaces::ip(const std::string& role, const std::string& args) {
    const std::string ns = name(role);
    if (ns.empty())
        return false;
    if (run("ip -n " + ns + " " + args) != 0) {
        failure_ = "ip -n " + ns + " " + args + " failed";
        return false;
    }
    return true;
}

bool NetworkNamespaces::link(const std::string& roleA, const std::string& interfaceA,
                             const std::string& addressA, const std::string& roleB,
                             const std::string& interfaceB, const std::string& addressB) {
    // Both ends are made inside the namespaces, never in the machine's own.
    return ip(roleA, "link add " + interfaceA + " type veth peer name " + interfaceB + " netns " +
                         name(roleB)) &&
           (addressA.empty() || ip(roleA, "addr add " + addressA + " dev " + interfaceA)) &&
           ip(roleA, "link set " + interfaceA + " up") &&
           (addressB.empty() || ip(roleB, "addr add " + addressB + " dev " + interfaceB)) &&
           ip(roleB, "link set " + interfaceB + " up");
}

std::string NetworkNamespaces::shell(const std::string& role, const std::string& command,
                                     int* status) {
    std::string output;
    const std::string ns = name(role);
    *status = -1;
    if (ns.empty())
        return output;
    FILE* pipe = ::popen(("ip netns exec " + ns + " " + command).c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    const int raw = ::pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

std::string NetworkNamespaces::logOf(const std::string& id) const {
    return slurp(dir_ + "/" + id + ".log");
}

bool NetworkNamespaces::startSimulator(const std::string& role, const std::string& id,
                                       const std::string& arguments) {
    const std::string ns = name(role);
    if (ns.empty())
        return false;
    const std::string log = dir_ + "/" + id + ".log";
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // exec replaces the child at once; the shell splits the arguments.
        const std::string command = "exec ip netns exec " + ns + " " + kBinary +
                                    "/sim/fwprog-unit-sim --broadcast-listen 0.0.0.0 " + arguments +
                                    " > " + log + " 2>&1";
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    children_.push_back(pid);
    for (int wait = 0; wait < 250; ++wait) {
        if (slurp(log).find("\"ready\"") != std::string::npos)
            return true;
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            children_.back() = -1;
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    failure_ = "the simulator in " + ns + " did not start: " + slurp(log);
    return false;
}

bool NetworkNamespaces::holdUdpPort(const std::string& role, unsigned short port) {
    const std::string ns = name(role);
    if (ns.empty())
        return false;
    int ready[2];
    if (::pipe(ready) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Only system calls from here on: the child of a threaded process.
        ::close(ready[0]);
        const int nsFd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0)
            ::_exit(1);
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            ::_exit(1);
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    const bool held = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    children_.push_back(pid);
    if (!held)
        failure_ = "could not hold UDP port " + std::to_string(port) + " in " + ns;
    return held;
}

bool NetworkNamespaces::runInside(const std::string& role, const std::function<void()>& f) {
    const std::string ns = name(role);
    if (ns.empty())
        return false;
    bool entered = false;
    // A thread of its own: entering a namespace changes only the calling
    // thread, and the test's own thread must stay where it was.
    std::thread worker([&] {
        const int fd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            ::close(fd);
        if (entered)
            f();
    });
    worker.join();
    if (!entered)
        failure_ = "could not enter " + ns;
    return entered;
}

}  // namespace testing_support
