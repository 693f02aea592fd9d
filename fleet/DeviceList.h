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
class DeviceList {
public:
    void insert(std::string line);
    void clear() { lines_.clear(); }
    const std::vector<std::string>& lines() const { return lines_; }
    std::size_t size() const { return lines_.size(); }
    bool empty() const { return lines_.empty(); }

private:
    std::vector<std::string> lines_;
};

enum class SaveOutcome {
    Written,
    NotCreated,   // the file could not be created (or no path was chosen)
    WriteFailed,  // created, but writing or closing it failed
};

struct SaveResult {
    SaveOutcome outcome = SaveOutcome::Written;
    int error = 0;  // errno of the failure
};

// Writes the address of every line, in the given order, each followed by CR LF;
// the file is created or emptied first.
SaveResult writeAddressList(const std::vector<std::string>& lines, const std::string& path);

// Save List as the operator meets it: a file that cannot be created is passed
// over in silence (the chooser may have been cancelled and left no path), while
// a failure after creation would leave a cut-off list behind, so it is reported
// with the file's name like every write error on an open file.
SaveResult saveAddressList(Operator& op, const std::vector<std::string>& lines,
                           const std::string& path);

// The message for a failure while writing the saved list.
std::string saveListWriteErrorText(const std::string& path, int error);

}  // namespace fleet
