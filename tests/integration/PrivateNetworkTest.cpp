// A real limited broadcast (255.255.255.255) in a private network of network
// namespaces that the test builds and removes itself: the programmer's
// namespace holds a bridge with one veth pair to each unit's namespace, and
// its default route goes over that bridge. Nothing here can reach a real
// network: the namespaces have no link to the machine's own.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;

namespace {

const std::string kBinary = FWPROG_BINARY_DIR;

// Runs a shell command; its exit status.
int sh(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a command and returns what it printed on stdout.
std::string capture(const std::string& command, int* exitStatus) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    const int status = ::pclose(pipe);
    *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

class PrivateNetwork : public ::testing::Test {
protected:
    static constexpr int kUnits = 2;

    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        const std::string tag = std::to_string(::getpid());
        host_ = "fwp-h-" + tag;
        for (int i = 0; i < kUnits; ++i)
            units_.push_back("fwp-u" + std::to_string(i) + "-" + tag);
        if (sh("ip netns add " + host_) != 0)
            GTEST_SKIP() << "cannot make network namespaces here (ip netns add failed)";
        created_.push_back(host_);
        const std::string inHost = "ip -n " + host_ + " ";
        bool ok = sh(inHost + "link set lo up") == 0 &&
                  sh(inHost + "link add fwpbr type bridge") == 0 &&
                  sh(inHost + "addr add 10.77.0.1/24 dev fwpbr") == 0 &&
                  sh(inHost + "link set fwpbr up") == 0;
        for (int i = 0; ok && i < kUnits; ++i) {
            const std::string unitNs = units_[static_cast<std::size_t>(i)];
            ok = sh("ip netns add " + unitNs) == 0;
            if (!ok)
                break;
            created_.push_back(unitNs);
            const std::string hostEnd = "fwpv" + std::to_string(i) + "h";
            const std::string unitEnd = "fwpv" + std::to_string(i) + "u";
            ok =
                sh(inHost + "link add " + hostEnd + " type veth peer name " + unitEnd + " netns " +
                   unitNs) == 0 &&
                sh(inHost + "link set " + hostEnd + " master fwpbr up") == 0 &&
                sh("ip -n " + unitNs + " link set lo up") == 0 &&
                sh("ip -n " + unitNs + " addr add " + unitAddress(i) + "/24 dev " + unitEnd) == 0 &&
                sh("ip -n " + unitNs + " link set " + unitEnd + " up") == 0;
        }
        // Without a default route the limited broadcast has no way out.
        ok = ok && sh(inHost + "route add default dev fwpbr") == 0;
        if (!ok)
            GTEST_SKIP() << "could not build the private network (bridge or veth refused)";

        dir_ = "/tmp/fwp-netns-" + std::to_string(::getpid());
        sh("mkdir -p " + dir_);
        for (int i = 0; i < kUnits; ++i) {
            const std::string log = dir_ + "/unit" + std::to_string(i) + ".log";
            const std::string command =
                "ip netns exec " + units_[static_cast<std::size_t>(i)] + " " + kBinary +
                "/sim/fwprog-unit-sim --unit " + unitAddress(i) + " --product 'Net Unit " +
                std::to_string(i) + "' --broadcast-listen 0.0.0.0 > " + log + " 2>&1 & echo $!";
            int status = 0;
            const std::string pid = capture(command, &status);
            sims_.push_back(std::atoi(pid.c_str()));
        }
        for (int i = 0; i < kUnits; ++i) {
            const std::string log = dir_ + "/unit" + std::to_string(i) + ".log";
            for (int wait = 0; wait < 100 && slurp(log).find("\"ready\"") == std::string::npos;
                 ++wait)
                std::this_thread::sleep_for(20ms);
        }
    }

    void TearDown() override {
        for (int pid : sims_)
            if (pid > 0)
                ::kill(pid, SIGTERM);
        std::this_thread::sleep_for(100ms);
        // Removing a namespace removes its links, the bridge and the veths.
        for (const auto& name : created_)
            sh("ip netns del " + name);
        if (!dir_.empty() && !std::getenv("FWPROG_KEEP_NETNS_LOGS"))
            sh("rm -rf " + dir_);
    }

    static std::string unitAddress(int i) { return "10.77.0." + std::to_string(11 + i); }

    std::string inHost(const std::string& command) const {
        return "ip netns exec " + host_ + " " + command;
    }

    std::string host_;
    std::vector<std::string> units_;
    std::vector<std::string> created_;
    std::vector<int> sims_;
    std::string dir_;
};

}  // namespace

TEST_F(PrivateNetwork, RealBroadcastDiscoveryTimeStampAndProgramming) {
    int status = -1;
    // The real defaults: 255.255.255.255, port 6000 — inside the private network only.
    const std::string listed = capture(
        inHost("env -u FWPROG_BROADCAST " + kBinary + "/cli/fwprog discover --wait 300"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listed, "Net Unit 0\t10.77.0.11\nNet Unit 1\t10.77.0.12\n");

    const std::string sent =
        capture(inHost("env -u FWPROG_BROADCAST " + kBinary + "/cli/fwprog timestamp --yes --json"),
                &status);
    EXPECT_EQ(status, 0);
    const auto quote = sent.find("TSBCJ");
    ASSERT_NE(quote, std::string::npos) << sent;
    const std::string text = sent.substr(quote, sent.find('"', quote) - quote);
    std::this_thread::sleep_for(200ms);
    for (int i = 0; i < kUnits; ++i) {
        const std::string log = slurp(dir_ + "/unit" + std::to_string(i) + ".log");
        EXPECT_NE(log.find("\"event\":\"timestamp\",\"unit\":\"" + unitAddress(i) +
                           "\",\"text\":\"" + text + "\""),
                  std::string::npos)
            << log;
    }

    // One unit programmed across the private network with the real schedule.
    {
        std::ofstream image(dir_ + "/fw.bin", std::ios::binary);
        for (int i = 0; i < 50000; ++i)
            image.put(static_cast<char>(i * 7919));
    }
    const std::string result = capture(
        inHost(kBinary + "/cli/fwprog single --image " + dir_ + "/fw.bin --target 10.77.0.12"),
        &status);
    EXPECT_EQ(status, 0) << result;
    EXPECT_EQ(result, "1 Unit Updated\nIP: 10.77.0.12 Successfully Programmed\n");
}
