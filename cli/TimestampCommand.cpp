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

// The terminal operator that answers the confirmation on standard input (or
// with yes, when the command line already said so).
class TimestampOperator : public TerminalOperator {
public:
    TimestampOperator(CliContext& context, bool assumeYes)
        : TerminalOperator(context.err, false), context_(context), assumeYes_(assumeYes) {}

    engine::BoxAnswer messageBox(const std::string& text, engine::BoxStyle style) override {
        if (style != engine::kOkCancelQuestion)
            return TerminalOperator::messageBox(text, style);
        // An interrupt is never a yes, not even one given on the command line.
        if (context_.stopRequested())
            return engine::BoxAnswer::Cancel;
        if (assumeYes_)
            return engine::BoxAnswer::Ok;
        context_.err << "fwprog: " << text << "? [y/N] ";
        context_.err.flush();
        asked_ = true;
        // The interrupt handler does not restart reads, so an interrupt ends
        // the wait for the answer at once.
        std::string answer;
        if (!std::getline(context_.in, answer) || context_.stopRequested())
            return engine::BoxAnswer::Cancel;
        for (char& c : answer)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return answer == "y" || answer == "yes" ? engine::BoxAnswer::Ok : engine::BoxAnswer::Cancel;
    }

    // True once the question waits on the terminal's line.
    bool asked() const { return asked_; }

private:
    CliContext& context_;
    bool assumeYes_;
    bool asked_ = false;
};

}  // namespace

int runTimestamp(const CommandSpec& command, const std::vector<std::string>& args,
                 CliContext& context) {
    CommonOptions common{engine::Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common, command);
    bool yes = false;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context))
            return kExitSuccess;
        if (reader.flag("--yes") || reader.flag("-y"))
            yes = true;
        else if (!reader.interfaceOption() && !reader.common())
            reader.fail("unknown option: " + reader.current());
    }
    reader.checkInterfaceNames();
    if (reader.error())
        return usageError(context, *reader.error(), command);
    // Every unit's clock changes at once: never without someone agreeing.
    if (!yes && !context.stdinIsTerminal)
        return usageError(context, "standard input is not a terminal to confirm on; pass --yes",
                          command);

    TimestampOperator op(context, yes);
    fleet::TimeStampBroadcast broadcast(op, common.endpoints);
    const auto outcome = broadcast.run();
    printBroadcastNotes(context.err, "time stamp", broadcast.report());
    switch (outcome) {
        case fleet::TimeStampBroadcast::Outcome::Sent:
            if (common.json)
                context.out << engine::jsonLine({{"sent", engine::jsonText(broadcast.text())}})
                            << '\n';
            context.out.flush();
            return kExitSuccess;
        case fleet::TimeStampBroadcast::Outcome::Cancelled:
            if (context.stopRequested()) {
                context.err << (op.asked() ? "\n" : "")
                            << "fwprog: stopped by an interrupt; nothing was sent\n";
                if (common.json)
                    context.out << engine::jsonLine({{"sent", nullptr}}) << '\n';
                return kExitInterrupted;
            }
            context.err << "fwprog: nothing was sent\n";
            if (common.json)
                context.out << engine::jsonLine({{"sent", nullptr}}) << '\n';
            return kExitFailure;
        default:
            if (common.json)
                context.out << engine::jsonLine({{"error", engine::jsonText(op.lastMessage())}})
                            << '\n';
            return kExitFailure;
    }
}

}  // namespace cli
