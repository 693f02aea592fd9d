#include "cli/CommandTable.h"

#include "cli/Commands.h"

#include <algorithm>

namespace cli {

namespace {

constexpr std::size_t kUsageWidth = 90;

const char* const kInterfaceHelp =
    "broadcast out of this interface only (repeatable, or names\n"
    "separated by commas; FWPROG_INTERFACE sets the same)";

std::vector<CommandSpec> makeTable() {
    std::vector<CommandSpec> table;
    table.push_back(CommandSpec{
        "single",
        "program one unit (address or print queue)",
        nullptr,
        {
            {"--image", "FILE", "the firmware image to send", nullptr, true},
            {"--target", "TARGET", "a unit's dotted IPv4 address or a print queue's name", nullptr,
             true},
            {"--any-sender", nullptr,
             "take the verdict from any address (units that answer from another)"},
        },
        "Programs one unit: TARGET is a unit's dotted IPv4 address or a print queue's name.\n"
        "Only a status datagram from the unit's own address counts as its verdict.\n",
        "An interrupt (Ctrl-C) stops at once: a stream in progress is reset.\n"
        "Exit status: 0 programmed, 3 sent but unconfirmed, 1 failed, 2 usage error,\n"
        "130 stopped by an interrupt.\n",
        runSingle});
    table.push_back(CommandSpec{
        "multiple",
        "program every unit of a list file",
        nullptr,
        {
            {"--image", "FILE", "the firmware image to send", nullptr, true},
            {"--list", "FILE", "the list file: one dotted IPv4 address or print queue a line",
             nullptr, true},
            {"--log", "PATH", "write the status log at PATH instead of beside the list"},
            {"--jobs", "N",
             "program up to N units at once (default 1: one after the other; at\n"
             "most 5000); where the system gives fewer threads or descriptors, the\n"
             "batch says so and goes on with as many as it could start"},
            {"--any-sender", nullptr,
             "take the verdict from any address (one unit at a time only)"},
            {"--retries", "N",
             "try a network unit that ended \"Status Unconfirmed\" or with a socket\n"
             "error up to N more times (default 0), while the other units go on; a\n"
             "socket error ends the batch only on the last attempt, and the log keeps\n"
             "the final result. Example: --retries 2 --retry-pause 30"},
            {"--retry-pause", "S", "wait S seconds before a unit's next attempt (default 10)"},
            {"--verdict-wait", "S",
             "wait S seconds for each unit's verdict (default 20), for units that\n"
             "take longer to write their flash. Example: --verdict-wait 45"},
            {"--resume", "LOG",
             "skip the units that LOG (an earlier Status.txt, even the one this\n"
             "batch replaces) has \"Successfully Programmed\" with the same image;\n"
             "they are named on stderr and keep their lines in the new log.\n"
             "Example: --resume units/Status.txt"},
            {"--max-failures", "N",
             "stop the batch as the first Ctrl-C does once N units have failed\n"
             "(any result but programmed), and exit 1. Example: --max-failures 3"},
            {"--canary", "N",
             "program the first N units one by one before the rest; if one of them\n"
             "fails, the batch stops there and exits 1. Example: --canary 2 --jobs 16"},
            {"--report", "FILE",
             "write one JSON object a line (CSV with a header row when FILE ends in\n"
             ".csv) for every unit as it finishes: target, interface and source\n"
             "address, product and version before and after, image path, size and\n"
             "SHA-256, result, attempts, bytes delivered, foreign status datagrams,\n"
             "start and end times. Example: --report rollout.csv --after-wait 90"},
            {"--after-wait", "S",
             "ask each unit after its verdict who it is until it answers as an\n"
             "application, for at most S seconds (default 60), for the report"},
        },
        "Programs every unit named in the list file (one dotted IPv4 address or print queue\n"
        "per line) one after the other, and writes the status log \"Status.txt\" in the list\n"
        "file's folder, or at PATH. Only a status datagram from the unit's own address counts\n"
        "as its verdict.\n",
        "Seconds may have up to three decimals (0.5).\n"
        "The first interrupt (Ctrl-C) lets the unit in progress finish and ends the batch\n"
        "with its summary; a second ends the program at once.\n"
        "Exit status: 0 every unit programmed, 3 some unconfirmed and none failed,\n"
        "1 a unit failed, the batch did not reach its summary, or it stopped for\n"
        "--max-failures or --canary, 2 usage error,\n"
        "130 stopped by an interrupt before the end of the list.\n",
        runMultiple});
    table.push_back(CommandSpec{
        "discover",
        "list the units that answer a broadcast",
        nullptr,
        {
            {"--wait", "MS",
             "let replies arrive for MS milliseconds after the last query\n"
             "(default 1000; at least 5, the units' own pace; at most\n"
             "600000)"},
            {"--interface", "NAME", kInterfaceHelp, nullptr, false, true},
            {"--range", "RANGE",
             "also query every address of RANGE one by one, for units on\n"
             "routed subnets no broadcast reaches: a CIDR block such as\n"
             "10.20.0.0/24, a range such as 10.20.0.5-10.20.0.80, or one\n"
             "address (repeatable; at most 65536 addresses in all)",
             nullptr, false, true},
            {"--rate", "N",
             "unicast queries a second with --range (default 500, at most\n"
             "10000)"},
            {"--save", "FILE",
             "also write the listed addresses to FILE, one per line ended\n"
             "by CR LF (a list for `fwprog multiple`); an address holding\n"
             "control characters is left out, and the number left out\n"
             "said on stderr"},
        },
        "Broadcasts the query out of every network interface that can broadcast and\n"
        "lists every unit that has answered a moment later: product and version, a tab,\n"
        "the address, a tab, the interface that heard it, in the order the window's\n"
        "list shows. On a terminal each unit is shown as its answer arrives. When no\n"
        "unit answered, stderr says so with the likely reasons.\n",
        "An interrupt (Ctrl-C) stops the wait (or the queries) at once; nothing more is\n"
        "listed.\n"
        "Exit status: 0 listed (possibly no units), 1 failed, 2 usage error,\n"
        "130 stopped by an interrupt.\n",
        runDiscover});
    table.push_back(CommandSpec{
        "timestamp",
        "set every unit's clock to this computer's time",
        nullptr,
        {
            {"--yes", nullptr, "do not ask", "-y"},
            {"--interface", "NAME", kInterfaceHelp, nullptr, false, true},
        },
        "Sets the clock of every unit on the network to this computer's local time and\n"
        "zone with one broadcast datagram out of every network interface that can\n"
        "broadcast. Asks first on the terminal; where standard input is not a\n"
        "terminal, --yes is required.\n",
        "An interrupt (Ctrl-C) while it asks ends it at once with nothing sent.\n"
        "Exit status: 0 sent, 1 not sent (failure or declined), 2 usage error,\n"
        "130 stopped by an interrupt.\n",
        runTimestamp});
    table.push_back(CommandSpec{
        "check",
        "what stands between this computer and programming each target",
        "TARGET...",
        {},
        "Checks, without programming anything, what stands between this computer and\n"
        "programming each target. An address: the interface and source address that\n"
        "reach it and whether it lies in that interface's subnet; the unit's answer to\n"
        "the query within 1 s; whether its data port accepts a connection (opened and\n"
        "closed at once); and, once, whether this computer's status port can be bound.\n"
        "A print queue: whether it exists, where it prints, and whether it takes jobs.\n"
        "Each target ends with a line \"TARGET: ready\" or \"TARGET: not ready: \" and the\n"
        "first thing that will fail, with what to do about it.\n",
        "An interrupt (Ctrl-C) stops it at once; the targets checked so far are shown.\n"
        "Exit status: 0 every target ready, 1 otherwise, 2 usage error, 130 stopped\n"
        "by an interrupt.\n",
        runCheck});
    table.push_back(CommandSpec{
        "queues",
        "list this computer's print queues",
        nullptr,
        {},
        "Lists this computer's print queues, one name a line, in the spooler's order.\n"
        "Any of them can be given to `fwprog single --target` or named in a list file.\n"
        "Nothing is listed when there are none; when the print service cannot be asked,\n"
        "stderr says why and nothing is listed.\n",
        "Exit status: 0 listed (possibly no queues), 1 the print service could not be\n"
        "asked, 2 usage error.\n",
        runQueues});
    return table;
}

std::string usageWord(const OptionSpec& option) {
    std::string word = option.name;
    if (option.valueName)
        word.append(" ").append(option.valueName);
    if (!option.required)
        word = "[" + word + "]";
    if (option.repeatable)
        word += "...";
    return word;
}

}  // namespace

const std::vector<CommandSpec>& commandTable() {
    static const std::vector<CommandSpec> table = makeTable();
    return table;
}

const CommandSpec* findCommand(std::string_view name) {
    for (const CommandSpec& command : commandTable()) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

const std::vector<OptionSpec>& commonOptions() {
    static const std::vector<OptionSpec> options = {
        {"--unit-udp-port", "N", "units' management port (FWPROG_UNIT_UDP_PORT, default 6000)"},
        {"--unit-tcp-port", "N", "units' raw data port (FWPROG_UNIT_TCP_PORT, default 9100)"},
        {"--status-port", "N", "this host's status port (FWPROG_STATUS_PORT, default 40001)"},
        {"--broadcast", "ADDR", "broadcast address (FWPROG_BROADCAST, default 255.255.255.255)"},
        {"--json", nullptr, "one JSON object on stdout instead of text"},
    };
    return options;
}

std::string usageText(const CommandSpec& command) {
    const std::string start = std::string("usage: fwprog ") + command.name;
    std::vector<std::string> words;
    if (command.positional)
        words.emplace_back(command.positional);
    for (const OptionSpec& option : command.options)
        words.push_back(usageWord(option));
    words.emplace_back("[--json]");
    std::string out = start;
    std::size_t lineLength = out.size();
    for (const std::string& word : words) {
        if (lineLength + 1 + word.size() > kUsageWidth) {
            out.append("\n").append(start.size(), ' ');
            lineLength = start.size();
        }
        out.append(" ").append(word);
        lineLength += 1 + word.size();
    }
    return out + "\n";
}

std::string commandHelp(const CommandSpec& command) {
    return usageText(command) + platform::indentLines(command.description, 2) +
           platform::optionLines(command.options) + platform::indentLines(command.notes, 2);
}

std::string commonOptionsHelp() {
    return "Options every command takes (they win over the environment variables):\n" +
           platform::optionLines(commonOptions());
}

std::string programHelp() {
    std::size_t width = 0;
    for (const CommandSpec& command : commandTable())
        width = std::max(width, std::string_view(command.name).size());
    std::string out = "usage: fwprog COMMAND [OPTIONS]\n\nCommands:\n";
    for (const CommandSpec& command : commandTable()) {
        const std::string_view name = command.name;
        out.append("  ").append(name).append(width + 2 - name.size(), ' ');
        out.append(command.summary).append("\n");
    }
    out +=
        "\n"
        "  fwprog COMMAND --help   options of one command\n"
        "  fwprog --version        the program's version\n";
    return out;
}

}  // namespace cli
