// A real limited broadcast (255.255.255.255) in a private network of network
// namespaces that the test builds and removes itself: the programmer's
// namespace holds a bridge with one veth pair to each unit's namespace, and
// its default route goes over that bridge. Nothing here can reach a real
// network: the namespaces have no link to the machine's own.
#include "tests/support/Eventually.h"
#include "tests/support/NetworkNamespaces.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kBinary = FWPROG_BINARY_DIR;

class PrivateNetwork : public ::testing::Test {
protected:
    static constexpr int kUnits = 2;

    void SetUp() override {
        if (!net.available())
            GTEST_SKIP() << net.failure();
        if (!net.add("host"))
            GTEST_SKIP() << net.failure();
        bool ok = net.ip("host", "link add fwpbr type bridge") &&
                  net.ip("host", "addr add 10.77.0.1/24 dev fwpbr") &&
                  net.ip("host", "link set fwpbr up");
        for (int i = 0; ok && i < kUnits; ++i) {
            const std::string unit = "u" + std::to_string(i);
            const std::string hostEnd = "fwpv" + std::to_string(i) + "h";
            ok = net.add(unit) &&
                 net.link("host", hostEnd, "", unit, "fwpv" + std::to_string(i) + "u",
                          unitAddress(i) + "/24") &&
                 net.ip("host", "link set " + hostEnd + " master fwpbr");
        }
        // Without a default route the limited broadcast has no way out.
        ok = ok && net.ip("host", "route add default dev fwpbr");
        if (!ok)
            GTEST_SKIP() << "could not build the private network: " << net.failure();
        for (int i = 0; i < kUnits; ++i)
            ASSERT_TRUE(net.startSimulator(
                "u" + std::to_string(i), "unit" + std::to_string(i),
                "--unit " + unitAddress(i) + " --product 'Net Unit " + std::to_string(i) + "'"))
                << net.failure();
    }

    static std::string unitAddress(int i) { return "10.77.0." + std::to_string(11 + i); }

    std::string inHost(const std::string& command, int* status) {
        return net.shell("host", command, status);
    }

    testing_support::NetworkNamespaces net;
};

}  // namespace

TEST_F(PrivateNetwork, RealBroadcastDiscoveryTimeStampAndProgramming) {
    int status = -1;
    // The real defaults: 255.255.255.255, port 6000 — inside the private network only.
    const std::string listed = inHost("env -u FWPROG_BROADCAST -u FWPROG_INTERFACE " + kBinary +
                                          "/cli/fwprog discover --wait 300",
                                      &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listed, "Net Unit 0\t10.77.0.11\tfwpbr\nNet Unit 1\t10.77.0.12\tfwpbr\n");

    const std::string sent = inHost("env -u FWPROG_BROADCAST -u FWPROG_INTERFACE " + kBinary +
                                        "/cli/fwprog timestamp --yes --json",
                                    &status);
    EXPECT_EQ(status, 0);
    const auto quote = sent.find("TSBCJ");
    ASSERT_NE(quote, std::string::npos) << sent;
    const std::string text = sent.substr(quote, sent.find('"', quote) - quote);
    for (int i = 0; i < kUnits; ++i) {
        const std::string unitLog = "unit" + std::to_string(i);
        const std::string stamped =
            "\"event\":\"timestamp\",\"unit\":\"" + unitAddress(i) + "\",\"text\":\"" + text + "\"";
        EXPECT_TRUE(testing_support::eventually([&] {
            return net.logOf(unitLog).find(stamped) != std::string::npos;
        })) << net.logOf(unitLog);
    }

    // One unit programmed across the private network with the real schedule.
    {
        std::ofstream image(net.directory() + "/fw.bin", std::ios::binary);
        for (int i = 0; i < 50000; ++i)
            image.put(static_cast<char>(i * 7919));
    }
    const std::string result = inHost(
        kBinary + "/cli/fwprog single --image " + net.directory() + "/fw.bin --target 10.77.0.12",
        &status);
    EXPECT_EQ(status, 0) << result;
    EXPECT_EQ(result, "1 Unit Updated\nIP: 10.77.0.12 Successfully Programmed\n");
}
