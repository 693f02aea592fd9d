#include "cli/ArgumentReader.h"
#include "cli/BroadcastNotes.h"
#include "cli/Commands.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/JsonText.h"
#include "fleet/TimeStampBroadcast.h"

#include <istream>
#include <ostream>

namespace cli {

namespace {

const char* const kTimestampUsage =
    "usage: fwprog timestamp [--yes] [--interface NAME]... [--json]\n"
    "  Sets the clock of every unit on the network to this computer's local time and\n"
    "  zone with one broadcast datagram out of every network interface that can\n"
    "  broadcast. Asks first on the terminal; where standard input is not a\n"
    "  terminal, --yes is required.\n"
    "  --yes, -y         do not ask\n"
    "  --interface NAME  broadcast out of this interface only (repeatable, or names\n"
    "                    separated by commas; FWPROG_INTERFACE sets the same)\n"
    "  An interrupt (Ctrl-C) while it asks ends it at once with nothing sent.\n"
    "  Exit status: 0 sent, 1 not sent (failure or declined), 2 usage error,\n"
    "  130 stopped by an interrupt.\n";

// The terminal operator that answers the confirmation on standard input (or
// with yes, when the command line already said so).
class TimestampOperator : public TerminalOperator {
public:
    TimestampOperator(CliContext& context, bool assumeYes)
        : TerminalOperator(context.err, false), context_(context), assumeYes_(assumeYes) {}

    int messageBox(const std::string& text, unsigned flags) override {
        if (flags != mb::kOkCancelQuestion)
            return TerminalOperator::messageBox(text, flags);
        // An interrupt is never a yes, not even one given on the command line.
        if (context_.stopRequested())
            return mb::kAnswerCancel;
        if (assumeYes_)
            return mb::kAnswerOk;
        context_.err << "fwprog: " << text << "? [y/N] ";
        context_.err.flush();
        asked_ = true;
        // The interrupt handler does not restart reads, so an interrupt ends
        // the wait for the answer at once.
        std::string answer;
        if (!std::getline(context_.in, answer) || context_.stopRequested())
            return mb::kAnswerCancel;
        for (char& c : answer)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return answer == "y" || answer == "yes" ? mb::kAnswerOk : mb::kAnswerCancel;
    }

    // True once the question waits on the terminal's line.
    bool asked() const { return asked_; }

private:
    CliContext& context_;
    bool assumeYes_;
    bool asked_ = false;
};

}  // namespace

int runTimestamp(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    bool yes = false;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context, kTimestampUsage))
            return kExitSuccess;
        if (reader.flag("--yes") || reader.flag("-y"))
            yes = true;
        else if (!reader.interfaceOption() && !reader.common())
            reader.fail("unknown option: " + reader.current());
    }
    reader.checkInterfaceNames();
    if (reader.error())
        return usageError(context, *reader.error(), kTimestampUsage);
    // Every unit's clock changes at once: never without someone agreeing.
    if (!yes && !context.stdinIsTerminal)
        return usageError(context, "standard input is not a terminal to confirm on; pass --yes",
                          kTimestampUsage);

    TimestampOperator op(context, yes);
    fleet::TimeStampBroadcast broadcast(op, common.endpoints);
    const auto outcome = broadcast.run();
    printBroadcastNotes(context.err, "time stamp", broadcast.report());
    switch (outcome) {
        case fleet::TimeStampBroadcast::Outcome::Sent:
            if (common.json)
                context.out << "{\"sent\": " << jsonString(broadcast.text()) << "}\n";
            context.out.flush();
            return kExitSuccess;
        case fleet::TimeStampBroadcast::Outcome::Cancelled:
            if (context.stopRequested()) {
                context.err << (op.asked() ? "\n" : "")
                            << "fwprog: stopped by an interrupt; nothing was sent\n";
                if (common.json)
                    context.out << "{\"sent\": null}\n";
                return kExitInterrupted;
            }
            context.err << "fwprog: nothing was sent\n";
            if (common.json)
                context.out << "{\"sent\": null}\n";
            return kExitFailure;
        default:
            if (common.json)
                context.out << "{\"error\": " << jsonString(op.lastMessage()) << "}\n";
            return kExitFailure;
    }
}

}  // namespace cli
