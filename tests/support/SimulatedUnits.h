#pragma once
// Simulated units on loopback for the tests that program, discover or stamp
// them: ports no other test holds, a fresh address per unit, and what the host
// side needs to reach them. Header only, because the simulator library is not
// part of every build (the fuzz build has none).

#include "engine/Endpoints.h"
#include "engine/Protocol.h"
#include "platform/DatagramSocket.h"
#include "sim/UnitSimulator.h"
#include "tests/support/Eventually.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Whether every unit has read what reached the units' port before this call.
// A query broadcast now queues behind any earlier datagram to that port, so
// once each unit has taken it, an earlier one would have been recorded: a test
// that shows nothing was sent looks after this rather than after a pause.
inline ::testing::AssertionResult everyUnitReadEarlierDatagrams(
    const sim::UnitSimulator& simulator) {
    platform::DatagramSocket marker;
    if (!marker.create(0, "127.0.0.1") || !marker.setBroadcast(true))
        return ::testing::AssertionFailure() << "no socket for the marker query";
    const std::string from = "127.0.0.1:" + std::to_string(marker.localPort());
    const auto& query = engine::proto::kQuery;
    if (marker.sendTo("127.255.255.255", simulator.options().udpPort, query.data(), query.size()) !=
        static_cast<long>(query.size()))
        return ::testing::AssertionFailure() << "the marker query was not sent";
    for (const auto& unit : simulator.units()) {
        const auto taken = simulator.waitFor(
            [&](const sim::Event& e) {
                return (e.kind == "query" || e.kind == "silent") && e.unit == unit.address &&
                       e.field("from") == from;
            },
            kEventualDeadline);
        if (!taken)
            return ::testing::AssertionFailure() << unit.address << " never took the marker query";
    }
    return ::testing::AssertionSuccess();
}

struct SimulatedUnits {
    sim::SimulatorOptions simOptions = freePorts();
    std::unique_ptr<sim::UnitSimulator> simulator;

    static sim::SimulatorOptions freePorts() {
        sim::SimulatorOptions options;
        options.udpPort = freeUdpPort();
        options.tcpPort = freeTcpPort();
        options.statusPort = freeUdpPort();
        return options;
    }

    // A unit on a loopback address of its own.
    static sim::UnitSettings unit(std::int32_t status = 0,
                                  std::chrono::milliseconds flashDelay = {}) {
        sim::UnitSettings settings;
        settings.address = uniqueLoopbackAddress();
        settings.status = status;
        settings.flashDelay = flashDelay;
        return settings;
    }

    // The units' addresses as a list file holds them, one per CRLF line.
    static std::string listOf(const std::vector<sim::UnitSettings>& units) {
        std::string list;
        for (const auto& u : units)
            list += u.address + "\r\n";
        return list;
    }

    // Starts the units; a simulator that cannot start fails the test.
    ::testing::AssertionResult startSimulator(std::vector<sim::UnitSettings> units,
                                              sim::UnitSimulator::EventCallback callback = {}) {
        simulator = std::make_unique<sim::UnitSimulator>(std::move(units), simOptions);
        if (callback)
            simulator->setEventCallback(std::move(callback));
        std::string error;
        if (!simulator->start(&error))
            return ::testing::AssertionFailure() << "the simulated units did not start: " << error;
        return ::testing::AssertionSuccess();
    }

    // The host's ports for reaching these units; broadcasts stay on loopback.
    engine::Endpoints simulatedEndpoints() const {
        engine::Endpoints endpoints;
        endpoints.broadcastAddress = "127.255.255.255";
        endpoints.unitUdpPort = simOptions.udpPort;
        endpoints.unitTcpPort = simOptions.tcpPort;
        endpoints.statusPort = simOptions.statusPort;
        return endpoints;
    }

    // The same ports as fwprog options.
    std::vector<std::string> portOptions() const {
        return {"--unit-udp-port", std::to_string(simOptions.udpPort),
                "--unit-tcp-port", std::to_string(simOptions.tcpPort),
                "--status-port",   std::to_string(simOptions.statusPort)};
    }
};

}  // namespace testing_support
