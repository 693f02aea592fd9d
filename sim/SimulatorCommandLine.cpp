#include "sim/SimulatorCommandLine.h"

#include "platform/OptionReader.h"
#include "platform/SocketAddress.h"

#include <charconv>
#include <chrono>
#include <iterator>
#include <limits>
#include <set>

namespace sim {

namespace {

// A day is far beyond any delay a unit shows; larger numbers are typing errors.
constexpr std::int64_t kLongestDelayMs = 24LL * 60 * 60 * 1000;
// Far more stale datagrams than any kernel queue holds.
constexpr std::uint32_t kMostStaleStatuses = 1000000;

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, Number low, Number high) {
    Number value{};
    const char* end = text.data() + text.size();
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || next != end || value < low || value > high)
        return std::nullopt;
    return value;
}

bool isIpv4(const std::string& text) {
    return platform::parseIpv4(text).has_value();
}

// Why an option's value was refused; nothing when the option took it.
using Refusal = std::optional<std::string>;

// What the command line has been read into so far.
struct Reading {
    CommandLine line;
    std::set<std::string> addresses;  // of the units so far: each one may be given once
};

// One option: its line in the help, and what it does with its value (empty
// for a flag). An option of the whole simulator has toLine; a per-unit
// option has toUnit and applies to the latest --unit.
struct SimOption {
    platform::OptionSpec entry;
    Refusal (*toLine)(Reading& reading, const std::string& value) = nullptr;
    Refusal (*toUnit)(UnitSettings& unit, const std::string& value) = nullptr;
};

// One --fault NAME or NAME=N: takesNumber says which form it has; argument
// is the text after '=' (empty for NAME).
struct Fault {
    const char* name;
    bool takesNumber;
    Refusal (*apply)(UnitSettings& unit, const std::string& argument);
};

// A fault or option that sets a field of the unit to a fixed value.
template <auto Field, auto Value>
Refusal setField(UnitSettings& unit, const std::string& /*value*/) {
    unit.*Field = Value;
    return std::nullopt;
}

// An option whose value is a field of the unit as given.
template <auto Field>
Refusal copyValue(UnitSettings& unit, const std::string& value) {
    unit.*Field = value;
    return std::nullopt;
}

Refusal delayInto(std::string_view text, std::chrono::milliseconds& target,
                  const std::string& option) {
    const auto ms = parseNumber<std::int64_t>(text, 0, kLongestDelayMs);
    if (!ms)
        return "not a delay in milliseconds for " + option + ": " + std::string(text);
    target = std::chrono::milliseconds(*ms);
    return std::nullopt;
}

// A delay that must not be zero: a fault that lasts no time is no fault.
template <typename Target>
Refusal lastingDelayInto(std::string_view text, Target& target, const std::string& option) {
    std::chrono::milliseconds ms{};
    if (delayInto(text, ms, option) || ms.count() == 0)
        return "not a delay in milliseconds for " + option + ": " + std::string(text);
    target = ms;
    return std::nullopt;
}

Refusal portInto(std::string_view text, std::uint16_t& target, const std::string& option) {
    const auto number = parseNumber<std::uint32_t>(text, 1, 65535);
    if (!number)
        return "not a port number for " + option + ": " + std::string(text);
    target = static_cast<std::uint16_t>(*number);
    return std::nullopt;
}

Refusal hexInto(std::string_view text, std::optional<std::string>& target,
                const std::string& option) {
    auto bytes = parseHex(text);
    if (!bytes)
        return "not hex bytes for " + option + ": " + std::string(text);
    target = std::move(bytes);
    return std::nullopt;
}

Refusal byteCountInto(std::string_view text, std::optional<std::uint64_t>& target,
                      const std::string& fault) {
    const auto bytes =
        parseNumber<std::uint64_t>(text, 0, std::numeric_limits<std::uint64_t>::max());
    if (!bytes)
        return "not a byte count for --fault " + fault + ": " + std::string(text);
    target = *bytes;
    return std::nullopt;
}

Refusal setStatus(UnitSettings& unit, const std::string& value) {
    if (value == "none") {
        unit.statusShape = StatusShape::None;
        return std::nullopt;
    }
    const auto status = parseNumber<std::int32_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                  std::numeric_limits<std::int32_t>::max());
    if (!status)
        return "not a status for --status: " + value;
    unit.status = *status;
    // A number after "none" brings the verdict back; after a shape fault it keeps the shape.
    if (unit.statusShape == StatusShape::None)
        unit.statusShape = StatusShape::Full;
    return std::nullopt;
}

// The faults, in the order the help lists them.
const Fault kFaults[] = {
    {"refuse", false, setField<&UnitSettings::refuse, true>},
    {"refuse-for", true,
     [](UnitSettings& u, const std::string& n) {
         return lastingDelayInto(n, u.refuseFor, "--fault refuse-for");
     }},
    {"reset", true,
     [](UnitSettings& u, const std::string& n) { return byteCountInto(n, u.resetAfter, "reset"); }},
    {"stall", true,
     [](UnitSettings& u, const std::string& n) { return byteCountInto(n, u.stallAfter, "stall"); }},
    {"drop-syn", true,
     [](UnitSettings& u, const std::string& n) {
         return lastingDelayInto(n, u.dropConnectionsFor, "--fault drop-syn");
     }},
    {"no-boot-loader", false, setField<&UnitSettings::noBootLoader, true>},
    {"no-status", false, setField<&UnitSettings::statusShape, StatusShape::None>},
    {"short-status", false, setField<&UnitSettings::statusShape, StatusShape::Short>},
    {"long-status", false, setField<&UnitSettings::statusShape, StatusShape::Long>},
    {"repeated-status", false, setField<&UnitSettings::repeatedStatus, true>},
    {"early-status", false, setField<&UnitSettings::earlyStatus, true>},
    {"status-during-stream", false, setField<&UnitSettings::statusDuringStream, true>},
    {"stale-status", true,
     [](UnitSettings& u, const std::string& n) -> Refusal {
         const auto count = parseNumber<std::uint32_t>(n, 0, kMostStaleStatuses);
         if (!count)
             return "not a count of datagrams for --fault stale-status: " + n;
         u.staleStatuses = *count;
         return {};
     }},
    {"stale-status-for", true,
     [](UnitSettings& u, const std::string& n) {
         return delayInto(n, u.staleStatusFor, "--fault stale-status-for");
     }},
    {"reply-delay", true,
     [](UnitSettings& u, const std::string& n) {
         return delayInto(n, u.replyDelay, "--fault reply-delay");
     }},
    {"reply-no-newline", false, setField<&UnitSettings::replyFault, ReplyFault::NoLineFeed>},
    {"reply-nul", false, setField<&UnitSettings::replyFault, ReplyFault::NulInside>},
    {"reply-empty", false, setField<&UnitSettings::replyFault, ReplyFault::Empty>},
    {"reply-oversized", false, setField<&UnitSettings::replyFault, ReplyFault::Oversized>},
    {"reply-flood", true,
     [](UnitSettings& u, const std::string& n) -> Refusal {
         const auto count = parseNumber<std::uint32_t>(n, 1, 65536);
         if (!count)
             return "not a count from 1 to 65536 for --fault reply-flood: " + n;
         u.forgedReplies = *count;
         return {};
     }},
};

// --fault NAME or NAME=N: a fault with a number needs one, the others take none.
Refusal addFault(UnitSettings& unit, const std::string& value) {
    const auto equals = value.find('=');
    const std::string name = value.substr(0, equals);
    const Fault* fault = nullptr;
    for (const Fault& one : kFaults) {
        if (name == one.name)
            fault = &one;
    }
    if (fault == nullptr)
        return "unknown fault: " + name;
    if (fault->takesNumber != (equals != std::string::npos))
        return fault->takesNumber ? "--fault " + name + " needs =N"
                                  : "--fault " + name + " takes no =N";
    return fault->apply(unit,
                        equals == std::string::npos ? std::string() : value.substr(equals + 1));
}

Refusal addUnit(Reading& reading, const std::string& address) {
    if (!isIpv4(address))
        return "not an IPv4 address for --unit: " + address;
    if (!reading.addresses.insert(address).second)
        return "unit given twice: " + address;
    UnitSettings unit;
    unit.address = address;
    reading.line.units.push_back(std::move(unit));
    return std::nullopt;
}

// The options of one unit, in the order the help lists them (--unit first:
// it starts the unit the ones after it apply to).
const SimOption kUnitOptions[] = {
    {{"--unit", "ADDR", "a unit on this IPv4 address (repeatable)"}, addUnit},
    {{"--product", "TEXT", "product and version in the query answer"},
     nullptr,
     copyValue<&UnitSettings::product>},
    {{"--status", "N|none", "verdict after an image (default 0), or no verdict"},
     nullptr,
     setStatus},
    {{"--status-hex", "HEX", "send these exact bytes as the verdict"},
     nullptr,
     [](UnitSettings& u, const std::string& v) { return hexInto(v, u.rawStatus, "--status-hex"); }},
    {{"--boot-delay", "MS", "entry header to boot loader (default 0)"},
     nullptr,
     [](UnitSettings& u, const std::string& v) {
         return delayInto(v, u.bootDelay, "--boot-delay");
     }},
    {{"--flash-delay", "MS", "end of image to verdict (default 0)"},
     nullptr,
     [](UnitSettings& u, const std::string& v) {
         return delayInto(v, u.flashDelay, "--flash-delay");
     }},
    {{"--reply-delay", "MS", "query to answer (default 0)"},
     nullptr,
     [](UnitSettings& u, const std::string& v) {
         return delayInto(v, u.replyDelay, "--reply-delay");
     }},
    {{"--reply-hex", "HEX", "answer the query with these exact bytes"},
     nullptr,
     [](UnitSettings& u, const std::string& v) { return hexInto(v, u.rawReply, "--reply-hex"); }},
    {{"--stall-for", "MS",
      "a stall (--fault stall=N) lasts this long, then the\n"
      "unit reads on (default 0: the stall lasts for good)"},
     nullptr,
     [](UnitSettings& u, const std::string& v) { return delayInto(v, u.stallFor, "--stall-for"); }},
    {{"--product-after", "TEXT",
      "product and version in the query answer once the unit\n"
      "has taken an image with status 0 (its new firmware)"},
     nullptr,
     copyValue<&UnitSettings::productAfter>},
    {{"--reboot-time", "MS",
      "after each verdict the unit restarts and answers no\n"
      "query for MS (default 0)"},
     nullptr,
     [](UnitSettings& u, const std::string& v) {
         return delayInto(v, u.rebootTime, "--reboot-time");
     }},
    {{"--fail-first", "K", "the first K images fail: no verdict, old firmware kept"},
     nullptr,
     [](UnitSettings& u, const std::string& v) -> Refusal {
         const auto count =
             parseNumber<std::uint64_t>(v, 0, std::numeric_limits<std::uint64_t>::max());
         if (!count)
             return "not a count of images for --fail-first: " + v;
         u.failFirstImages = *count;
         return {};
     }},
    {{"--fault", "NAME[=N]",
      "refuse, refuse-for=MS (the data port refuses connection\n"
      "requests for MS after start, then takes them),\n"
      "reset=N, stall=N, drop-syn=MS (after the entry\n"
      "header, drop data-port connection requests for MS),\n"
      "no-boot-loader, no-status,\n"
      "short-status, long-status, repeated-status,\n"
      "early-status, status-during-stream,\n"
      "stale-status=N (N zero status datagrams right after\n"
      "the entry header), stale-status-for=MS (one every\n"
      "20 ms for MS after the entry header), reply-delay=MS,\n"
      "reply-no-newline, reply-nul, reply-empty, reply-oversized,\n"
      "reply-flood=N (N more answers to each query, each\n"
      "claiming another address, 10.200.0.0 on)"},
     nullptr,
     addFault},
};

// The options of the whole simulator, in the order the help lists them.
const SimOption kGlobalOptions[] = {
    {{"--udp-port", "N", "management port (default 6000)"},
     [](Reading& r, const std::string& v) {
         return portInto(v, r.line.options.udpPort, "--udp-port");
     }},
    {{"--tcp-port", "N", "data port (default 9100)"},
     [](Reading& r, const std::string& v) {
         return portInto(v, r.line.options.tcpPort, "--tcp-port");
     }},
    {{"--status-port", "N", "host status port (default 40001)"},
     [](Reading& r, const std::string& v) {
         return portInto(v, r.line.options.statusPort, "--status-port");
     }},
    {{"--broadcast-listen", "ADDR",
      "where broadcasts arrive (default 127.255.255.255;\n"
      "0.0.0.0 inside a private network namespace)"},
     [](Reading& r, const std::string& v) -> Refusal {
         if (!isIpv4(v))
             return "not an IPv4 address for --broadcast-listen: " + v;
         r.line.options.broadcastListen = v;
         return {};
     }},
    {{"--exit-after", "N", "exit after N images have had their verdicts"},
     [](Reading& r, const std::string& v) -> Refusal {
         const auto count =
             parseNumber<std::uint64_t>(v, 1, std::numeric_limits<std::uint64_t>::max());
         if (!count)
             return "not a positive count for --exit-after: " + v;
         r.line.options.exitAfterImages = *count;
         return {};
     }},
    {{"--no-hash", nullptr, "do not compute SHA-256 of images"},
     [](Reading& r, const std::string&) -> Refusal {
         r.line.options.hashImages = false;
         return {};
     }},
    {{"--help", nullptr, "this text", "-h"},
     [](Reading& r, const std::string&) -> Refusal {
         r.line.help = true;
         return {};
     }},
};

// Where the help of every option starts, so that both sections line up.
constexpr std::size_t kHelpColumn = 25;

template <std::size_t Count>
std::vector<platform::OptionSpec> entriesOf(const SimOption (&options)[Count]) {
    std::vector<platform::OptionSpec> entries;
    for (const SimOption& option : options)
        entries.push_back(option.entry);
    return entries;
}

// The reader's table: the unit options, then the global ones.
std::vector<platform::OptionSpec> everyOption() {
    std::vector<platform::OptionSpec> entries = entriesOf(kUnitOptions);
    for (const platform::OptionSpec& entry : entriesOf(kGlobalOptions))
        entries.push_back(entry);
    return entries;
}

const SimOption& optionAt(std::size_t index) {
    constexpr std::size_t unitCount = std::size(kUnitOptions);
    return index < unitCount ? kUnitOptions[index] : kGlobalOptions[index - unitCount];
}

Refusal apply(Reading& reading, const platform::OptionReader::Taken& taken) {
    const SimOption& option = optionAt(taken.index);
    if (option.toLine)
        return option.toLine(reading, taken.value);
    if (reading.line.units.empty())
        return taken.name + " needs a --unit before it";
    return option.toUnit(reading.line.units.back(), taken.value);
}

}  // namespace

std::string usageText() {
    return "Usage: fwprog-unit-sim --unit ADDR [unit options] [--unit ADDR ...] [options]\n"
           "\n"
           "Simulates printer-interface units on local addresses, one line of JSON per event.\n"
           "\n"
           "Per unit (applies to the latest --unit):\n" +
           platform::optionLines(entriesOf(kUnitOptions), kHelpColumn) + "\nGlobal:\n" +
           platform::optionLines(entriesOf(kGlobalOptions), kHelpColumn);
}

std::optional<std::string> parseHex(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = platform::hexDigitValue(hex[i]);
        const int low = platform::hexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string* error) {
    platform::OptionReader reader(args, everyOption());
    Reading reading;
    while (const auto taken = reader.next()) {
        if (Refusal refusal = apply(reading, *taken))
            reader.fail(std::move(*refusal));
    }
    if (!reading.line.help && reading.line.units.empty())
        reader.fail("no unit given (use --unit ADDR)");
    if (reader.error()) {
        if (error)
            *error = *reader.error();
        return std::nullopt;
    }
    return std::move(reading.line);
}

}  // namespace sim
