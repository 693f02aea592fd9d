#include "sim/SimulatorCommandLine.h"

#include "platform/SocketAddress.h"

#include <charconv>
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

}  // namespace

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

std::string usageText() {
    return R"(Usage: fwprog-unit-sim --unit ADDR [unit options] [--unit ADDR ...] [options]

Simulates printer-interface units on local addresses, one line of JSON per event.

Per unit (applies to the latest --unit):
  --unit ADDR            a unit on this IPv4 address (repeatable)
  --product TEXT         product and version in the query answer
  --status N|none        verdict after an image (default 0), or no verdict
  --status-hex HEX       send these exact bytes as the verdict
  --boot-delay MS        entry header to boot loader (default 0)
  --flash-delay MS       end of image to verdict (default 0)
  --reply-delay MS       query to answer (default 0)
  --reply-hex HEX        answer the query with these exact bytes
  --stall-for MS         a stall (--fault stall=N) lasts this long, then the
                         unit reads on (default 0: the stall lasts for good)
  --product-after TEXT   product and version in the query answer once the unit
                         has taken an image with status 0 (its new firmware)
  --reboot-time MS       after each verdict the unit restarts and answers no
                         query for MS (default 0)
  --fail-first K         the first K images fail: no verdict, old firmware kept
  --fault NAME[=N]       refuse, refuse-for=MS (the data port refuses connection
                         requests for MS after start, then takes them),
                         reset=N, stall=N, drop-syn=MS (after the entry
                         header, drop data-port connection requests for MS),
                         no-boot-loader, no-status,
                         short-status, long-status, repeated-status,
                         early-status, status-during-stream,
                         stale-status=N (N zero status datagrams right after
                         the entry header), stale-status-for=MS (one every
                         20 ms for MS after the entry header), reply-delay=MS,
                         reply-no-newline, reply-nul, reply-empty, reply-oversized,
                         reply-flood=N (N more answers to each query, each
                         claiming another address, 10.200.0.0 on)

Global:
  --udp-port N           management port (default 6000)
  --tcp-port N           data port (default 9100)
  --status-port N        host status port (default 40001)
  --broadcast-listen ADDR  where broadcasts arrive (default 127.255.255.255;
                         0.0.0.0 inside a private network namespace)
  --exit-after N         exit after N images have had their verdicts
  --no-hash              do not compute SHA-256 of images
  --help                 this text
)";
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string* error) {
    CommandLine line;
    std::set<std::string> addresses;
    auto fail = [&](const std::string& message) -> std::optional<CommandLine> {
        if (error)
            *error = message;
        return std::nullopt;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != name.npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        auto takesValue = [&](std::string* value) {
            if (inlineValue) {
                *value = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *value = args[++i];
            return true;
        };
        auto flagOnly = [&] { return !inlineValue.has_value(); };

        if (name == "--help" || name == "-h") {
            if (!flagOnly())
                return fail(name + " takes no value");
            line.help = true;
            continue;
        }
        if (name == "--no-hash") {
            if (!flagOnly())
                return fail(name + " takes no value");
            line.options.hashImages = false;
            continue;
        }

        static const std::set<std::string> kKnown = {
            "--unit",          "--product",     "--status",           "--status-hex", "--reply-hex",
            "--boot-delay",    "--flash-delay", "--reply-delay",      "--fault",      "--udp-port",
            "--tcp-port",      "--status-port", "--broadcast-listen", "--exit-after", "--stall-for",
            "--product-after", "--reboot-time", "--fail-first"};
        if (!kKnown.contains(name))
            return fail("unknown option: " + args[i]);
        std::string value;
        if (!takesValue(&value))
            return fail(name + " needs a value");

        auto port = [&](std::uint16_t* target) {
            const auto number = parseNumber<std::uint32_t>(value, 1, 65535);
            if (!number)
                return false;
            *target = static_cast<std::uint16_t>(*number);
            return true;
        };
        if (name == "--udp-port") {
            if (!port(&line.options.udpPort))
                return fail("not a port number for --udp-port: " + value);
            continue;
        }
        if (name == "--tcp-port") {
            if (!port(&line.options.tcpPort))
                return fail("not a port number for --tcp-port: " + value);
            continue;
        }
        if (name == "--status-port") {
            if (!port(&line.options.statusPort))
                return fail("not a port number for --status-port: " + value);
            continue;
        }
        if (name == "--broadcast-listen") {
            if (!isIpv4(value))
                return fail("not an IPv4 address for --broadcast-listen: " + value);
            line.options.broadcastListen = value;
            continue;
        }
        if (name == "--exit-after") {
            const auto count =
                parseNumber<std::uint64_t>(value, 1, std::numeric_limits<std::uint64_t>::max());
            if (!count)
                return fail("not a positive count for --exit-after: " + value);
            line.options.exitAfterImages = *count;
            continue;
        }
        if (name == "--unit") {
            if (!isIpv4(value))
                return fail("not an IPv4 address for --unit: " + value);
            if (!addresses.insert(value).second)
                return fail("unit given twice: " + value);
            UnitSettings unit;
            unit.address = value;
            line.units.push_back(std::move(unit));
            continue;
        }

        if (line.units.empty())
            return fail(name + " needs a --unit before it");
        UnitSettings& unit = line.units.back();
        auto delay = [&](std::string_view text, std::chrono::milliseconds* target) {
            const auto ms = parseNumber<std::int64_t>(text, 0, kLongestDelayMs);
            if (!ms)
                return false;
            *target = std::chrono::milliseconds(*ms);
            return true;
        };

        if (name == "--product") {
            unit.product = value;
        } else if (name == "--product-after") {
            unit.productAfter = value;
        } else if (name == "--reboot-time") {
            if (!delay(value, &unit.rebootTime))
                return fail("not a delay in milliseconds for --reboot-time: " + value);
        } else if (name == "--fail-first") {
            const auto count =
                parseNumber<std::uint64_t>(value, 0, std::numeric_limits<std::uint64_t>::max());
            if (!count)
                return fail("not a count of images for --fail-first: " + value);
            unit.failFirstImages = *count;
        } else if (name == "--status") {
            if (value == "none") {
                unit.statusShape = StatusShape::None;
                continue;
            }
            const auto status =
                parseNumber<std::int32_t>(value, std::numeric_limits<std::int32_t>::min(),
                                          std::numeric_limits<std::int32_t>::max());
            if (!status)
                return fail("not a status for --status: " + value);
            unit.status = *status;
            if (unit.statusShape == StatusShape::None)
                unit.statusShape = StatusShape::Full;
        } else if (name == "--status-hex") {
            const auto bytes = parseHex(value);
            if (!bytes)
                return fail("not hex bytes for --status-hex: " + value);
            unit.rawStatus = *bytes;
        } else if (name == "--reply-hex") {
            const auto bytes = parseHex(value);
            if (!bytes)
                return fail("not hex bytes for --reply-hex: " + value);
            unit.rawReply = *bytes;
        } else if (name == "--boot-delay") {
            if (!delay(value, &unit.bootDelay))
                return fail("not a delay in milliseconds for --boot-delay: " + value);
        } else if (name == "--flash-delay") {
            if (!delay(value, &unit.flashDelay))
                return fail("not a delay in milliseconds for --flash-delay: " + value);
        } else if (name == "--reply-delay") {
            if (!delay(value, &unit.replyDelay))
                return fail("not a delay in milliseconds for --reply-delay: " + value);
        } else if (name == "--stall-for") {
            if (!delay(value, &unit.stallFor))
                return fail("not a delay in milliseconds for --stall-for: " + value);
        } else if (name == "--fault") {
            const auto equals = value.find('=');
            const std::string fault = value.substr(0, equals);
            const std::optional<std::string> argument =
                equals == value.npos ? std::nullopt
                                     : std::optional<std::string>(value.substr(equals + 1));
            const bool countFault = fault == "reset" || fault == "stall" ||
                                    fault == "reply-delay" || fault == "drop-syn" ||
                                    fault == "refuse-for" || fault == "reply-flood" ||
                                    fault == "stale-status" || fault == "stale-status-for";
            if (countFault != argument.has_value())
                return fail(countFault ? "--fault " + fault + " needs =N"
                                       : "--fault " + fault + " takes no =N");
            if (fault == "reset" || fault == "stall") {
                const auto bytes = parseNumber<std::uint64_t>(
                    *argument, 0, std::numeric_limits<std::uint64_t>::max());
                if (!bytes)
                    return fail("not a byte count for --fault " + fault + ": " + *argument);
                (fault == "reset" ? unit.resetAfter : unit.stallAfter) = *bytes;
            } else if (fault == "reply-delay") {
                if (!delay(*argument, &unit.replyDelay))
                    return fail("not a delay in milliseconds for --fault reply-delay: " +
                                *argument);
            } else if (fault == "drop-syn") {
                std::chrono::milliseconds ms{};
                if (!delay(*argument, &ms) || ms.count() == 0)
                    return fail("not a delay in milliseconds for --fault drop-syn: " + *argument);
                unit.dropConnectionsFor = ms;
            } else if (fault == "refuse-for") {
                std::chrono::milliseconds ms{};
                if (!delay(*argument, &ms) || ms.count() == 0)
                    return fail("not a delay in milliseconds for --fault refuse-for: " + *argument);
                unit.refuseFor = ms;
            } else if (fault == "reply-flood") {
                const auto count = parseNumber<std::uint32_t>(*argument, 1, 65536);
                if (!count)
                    return fail("not a count from 1 to 65536 for --fault reply-flood: " +
                                *argument);
                unit.forgedReplies = *count;
            } else if (fault == "stale-status") {
                const auto count = parseNumber<std::uint32_t>(*argument, 0, kMostStaleStatuses);
                if (!count)
                    return fail("not a count of datagrams for --fault stale-status: " + *argument);
                unit.staleStatuses = *count;
            } else if (fault == "stale-status-for") {
                if (!delay(*argument, &unit.staleStatusFor))
                    return fail("not a delay in milliseconds for --fault stale-status-for: " +
                                *argument);
            } else if (fault == "refuse") {
                unit.refuse = true;
            } else if (fault == "no-boot-loader") {
                unit.noBootLoader = true;
            } else if (fault == "no-status") {
                unit.statusShape = StatusShape::None;
            } else if (fault == "short-status") {
                unit.statusShape = StatusShape::Short;
            } else if (fault == "long-status") {
                unit.statusShape = StatusShape::Long;
            } else if (fault == "repeated-status") {
                unit.repeatedStatus = true;
            } else if (fault == "early-status") {
                unit.earlyStatus = true;
            } else if (fault == "status-during-stream") {
                unit.statusDuringStream = true;
            } else if (fault == "reply-no-newline") {
                unit.replyFault = ReplyFault::NoLineFeed;
            } else if (fault == "reply-nul") {
                unit.replyFault = ReplyFault::NulInside;
            } else if (fault == "reply-empty") {
                unit.replyFault = ReplyFault::Empty;
            } else if (fault == "reply-oversized") {
                unit.replyFault = ReplyFault::Oversized;
            } else {
                return fail("unknown fault: " + fault);
            }
        }
    }
    if (!line.help && line.units.empty())
        return fail("no unit given (use --unit ADDR)");
    return line;
}

}  // namespace sim
