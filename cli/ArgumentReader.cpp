#include "cli/ArgumentReader.h"

#include "cli/Commands.h"
#include "fleet/UnitBroadcast.h"
#include "generated/Version.h"
#include "platform/NetworkInterfaces.h"

#include <cstdlib>
#include <iostream>
#include <ostream>

namespace cli {

namespace {

std::vector<OptionSpec> optionsOf(const CommandSpec& command) {
    std::vector<OptionSpec> table = command.options;
    table.insert(table.end(), commonOptions().begin(), commonOptions().end());
    return table;
}

}  // namespace

ArgumentReader::ArgumentReader(std::vector<std::string> args, CommonOptions& common,
                               const CommandSpec& command)
    : reader_(std::move(args), optionsOf(command)), common_(common), command_(command) {}

const OptionSpec& ArgumentReader::known(const char* name, bool takesValue) const {
    const OptionSpec* option = reader_.find(name);
    if (option == nullptr || (option->valueName != nullptr) != takesValue) {
        std::cerr << "fwprog: internal error: " << command_.name << " reads " << name
                  << ", which its entry in the command table does not name as "
                  << (takesValue ? "an option with a value" : "a flag") << '\n';
        std::abort();
    }
    return *option;
}

bool ArgumentReader::flag(const char* name) {
    known(name, false);
    return reader_.take(name);
}

bool ArgumentReader::option(const char* name, std::string& value) {
    known(name, true);
    return reader_.takeValue(name, value);
}

bool ArgumentReader::helpOrVersion(CliContext& context) {
    if (reader_.take("--help") || reader_.take("-h")) {
        context.out << commandHelp(command_) << '\n' << commonOptionsHelp();
        return true;
    }
    if (reader_.take("--version")) {
        context.out << kProductVersionText << '\n';
        return true;
    }
    return false;
}

bool ArgumentReader::common() {
    std::string value;
    auto port = [&](const char* name, std::uint16_t& target) {
        if (!option(name, value))
            return false;
        if (auto parsed = engine::parsePort(value))
            target = *parsed;
        else
            fail(std::string(name) + ": not a port number: " + value);
        return true;
    };
    if (flag("--json")) {
        common_.json = true;
        return true;
    }
    if (port("--unit-udp-port", common_.endpoints.unitUdpPort) ||
        port("--unit-tcp-port", common_.endpoints.unitTcpPort) ||
        port("--status-port", common_.endpoints.statusPort))
        return true;
    if (option("--broadcast", value)) {
        if (value.empty())
            fail("--broadcast needs an address");
        common_.endpoints.broadcastAddress = value;
        return true;
    }
    return false;
}

bool ArgumentReader::interfaceOption() {
    std::string name;
    if (!option("--interface", name))
        return false;
    if (!interfacesGiven_)
        common_.endpoints.interfaces.clear();
    interfacesGiven_ = true;
    std::vector<std::string> names = engine::splitInterfaceNames(name);
    if (!error() && names.empty())
        fail("--interface needs an interface name");
    for (std::string& one : names)
        common_.endpoints.interfaces.push_back(std::move(one));
    return true;
}

void ArgumentReader::checkInterfaceNames() {
    if (error() || common_.endpoints.interfaces.empty())
        return;
    const auto interfaces = platform::listIpv4Interfaces();
    std::vector<std::string> unknown;
    fleet::broadcastWays(common_.endpoints, interfaces, &unknown);
    if (unknown.empty())
        return;
    const std::string source = interfacesGiven_ ? "--interface " : "FWPROG_INTERFACE: ";
    fail(source + unknown.front() + ": no interface of that name with an IPv4 address" +
         (interfaces.empty()
              ? std::string()
              : " (this computer has " + fleet::interfaceNamesText(interfaces) + ")"));
}

}  // namespace cli
