#pragma once
// A private network of network namespaces that a test builds and removes
// itself, for traffic that must not stay on loopback: real limited
// broadcasts, several interfaces, routers, firewalls. Nothing built here has a
// link to the machine's own network, so nothing sent inside can leave it.
//
// Needs root. Typical use:
//   NetworkNamespaces net;
//   if (!net.available()) GTEST_SKIP() << net.failure();
//   net.add("host"); net.add("lan");
//   net.link("host", "fwpa", "10.81.1.1/24", "lan", "eth0", "10.81.1.11/24");
//   net.startSimulator("lan", "--unit 10.81.1.11");
//   net.shell("host", FWPROG_BINARY_DIR "/cli/fwprog discover", &status);

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class NetworkNamespaces {
public:
    // Checks for root and for `ip netns`; failure() says why when not.
    NetworkNamespaces();
    // Stops every simulator and holder, removes every namespace (and with it
    // every link in it) and the log directory.
    ~NetworkNamespaces();
    NetworkNamespaces(const NetworkNamespaces&) = delete;
    NetworkNamespaces& operator=(const NetworkNamespaces&) = delete;

    bool available() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    // A new namespace with its loopback up, known to the test by role.
    bool add(const std::string& role);
    // The namespace's real name ("fwp-<role>-<pid>").
    std::string name(const std::string& role) const;

    // A veth pair between two namespaces, each end up and with its address
    // (CIDR; none where empty, e.g. for a bridge's port).
    bool link(const std::string& roleA, const std::string& interfaceA, const std::string& addressA,
              const std::string& roleB, const std::string& interfaceB, const std::string& addressB);
    // Runs `ip -n NS ARGS`; true when it succeeded.
    bool ip(const std::string& role, const std::string& args);
    // Runs a shell command inside the namespace; its stdout, and its exit
    // status in *status.
    std::string shell(const std::string& role, const std::string& command, int* status);

    // Starts fwprog-unit-sim inside the namespace (broadcasts heard on
    // 0.0.0.0) and waits until it is ready. Its events go to logOf(id).
    bool startSimulator(const std::string& role, const std::string& id,
                        const std::string& arguments);
    std::string logOf(const std::string& id) const;

    // Keeps a UDP port bound on all addresses inside the namespace until the
    // object goes, as another program holding it would.
    bool holdUdpPort(const std::string& role, unsigned short port);

    // Runs f on a thread of this process that has entered the namespace, so
    // every socket f opens is inside it; f does not run when entering failed.
    bool runInside(const std::string& role, const std::function<void()>& f);

    const std::string& directory() const { return dir_; }

private:
    std::string failure_;
    std::string dir_;
    std::map<std::string, std::string> names_;
    std::vector<std::string> created_;
    std::vector<pid_t> children_;
};

}  // namespace testing_support
