#pragma once

#include "engine/Operator.h"

#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// The order in which the device list keeps its lines: letter case does not
// count, so units come ordered by product-and-version text and then by address
// text. Lines that differ only in letter case are kept in byte order, so the
// order never depends on when a reply arrived.
bool listLineBefore(std::string_view a, std::string_view b);

// The discovered units, one line each ("product and version", tab, address),
// always in list order. Identical lines are all kept, as the list shows them.
// Beside each line the list keeps the name of the interface that heard the
// unit and the address the reply came from (each empty where nobody said);
// the window shows only the lines.
class DeviceList {
public:
    void insert(std::string line, std::string interfaceName = {}, std::string sender = {});
    void clear() {
        lines_.clear();
        interfaces_.clear();
        senders_.clear();
    }
    const std::vector<std::string>& lines() const { return lines_; }
    // The interface beside each line, in the same order.
    const std::vector<std::string>& interfaces() const { return interfaces_; }
    // The sender's address beside each line, in the same order: where the
    // reply came from, which need not be the address it claims.
    const std::vector<std::string>& senders() const { return senders_; }
    std::size_t size() const { return lines_.size(); }
    bool empty() const { return lines_.empty(); }

private:
    std::vector<std::string> lines_;
    std::vector<std::string> interfaces_;
    std::vector<std::string> senders_;
};

enum class SaveOutcome {
    Written,
    NotCreated,   // the file could not be created (or no path was chosen)
    Refused,      // a symbolic link, FIFO, device or folder stands at the path
    WriteFailed,  // created, but writing or closing it failed; nothing replaced
};

struct SaveResult {
    SaveOutcome outcome = SaveOutcome::Written;
    int error = 0;            // errno of the failure
    std::string reason;       // the failure in plain words, with its line break
    std::size_t skipped = 0;  // entries left out (see isSavableAddress)
};

// Whether an address can stand as a line of a list. A reply that puts a
// control character (CR, LF, tab, ...) into its address field would, written
// as it is, become several targets or a print-queue name in the batch that
// reads the list; such entries are never written.
bool isSavableAddress(std::string_view address);

// Writes the address of every line, in the given order, each followed by CR LF,
// leaving out the entries isSavableAddress refuses. The file is replaced whole
// or not at all: a half-written list never stands at path.
[[nodiscard]] SaveResult writeAddressList(const std::vector<std::string>& lines,
                                          const std::string& path);

// Save List as the operator meets it: a file that cannot be created is passed
// over in silence (the chooser may have been cancelled and left no path); a
// path that is refused or a failure while writing is reported with the file's
// name; entries left out are counted in one information message after saving.
SaveResult saveAddressList(engine::Operator& op, const std::vector<std::string>& lines,
                           const std::string& path);

// The message for a failure while writing the saved list.
std::string saveListWriteErrorText(const std::string& path, int error);

// The message for entries that were left out of a saved list.
std::string skippedEntriesText(std::size_t skipped, const std::string& path);

}  // namespace fleet
