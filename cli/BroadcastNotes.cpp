#include "cli/BroadcastNotes.h"

#include "platform/ErrorText.h"

#include <ostream>

namespace cli {

void printBroadcastNotes(std::ostream& err, const char* what,
                         const fleet::BroadcastReport& report) {
    for (const auto& failure : report.failed) {
        if (failure.way.index == 0)
            continue;  // the routing table's one way: "Send Error" has said it
        err << "fwprog: the " << what << " did not go out of " << failure.way.name << ": "
            << (failure.error ? platform::systemErrorText(failure.error)
                              : std::string("only part of it was sent\n"));
    }
}

}  // namespace cli
