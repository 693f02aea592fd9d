#include "fleet/DeviceList.h"

#include "engine/Protocol.h"
#include "platform/ErrorText.h"
#include "platform/OutputFile.h"

#include <algorithm>

namespace fleet {

namespace {

unsigned char folded(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

int compareFolded(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned char x = folded(a[i]);
        const unsigned char y = folded(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

bool listLineBefore(std::string_view a, std::string_view b) {
    const std::size_t tabA = std::min(a.find('\t'), a.size());
    const std::size_t tabB = std::min(b.find('\t'), b.size());
    if (int order = compareFolded(a.substr(0, tabA), b.substr(0, tabB)); order != 0)
        return order < 0;
    if (int order = compareFolded(a.substr(tabA), b.substr(tabB)); order != 0)
        return order < 0;
    return a < b;
}

void DeviceList::insert(std::string line, std::string interfaceName, std::string sender) {
    // After any equal lines, so a repeated line lands behind its twin.
    auto place = std::upper_bound(
        lines_.begin(), lines_.end(), line,
        [](const std::string& x, const std::string& y) { return listLineBefore(x, y); });
    interfaces_.insert(interfaces_.begin() + (place - lines_.begin()), std::move(interfaceName));
    senders_.insert(senders_.begin() + (place - lines_.begin()), std::move(sender));
    lines_.insert(place, std::move(line));
}

bool isSavableAddress(std::string_view address) {
    return std::none_of(address.begin(), address.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

SaveResult writeAddressList(const std::vector<std::string>& lines, const std::string& path) {
    SaveResult result;
    std::string bytes;
    for (const std::string& line : lines) {
        const std::string address = engine::proto::addressFromListLine(line);
        if (!isSavableAddress(address)) {
            ++result.skipped;
            continue;
        }
        bytes += address + "\r\n";
    }
    const platform::ReplaceResult replaced = platform::replaceFileContents(path, bytes);
    if (!replaced.failure)
        return result;
    result.error = replaced.failure.error;
    result.reason = replaced.failure.reason();
    if (replaced.failure.kind == platform::OutputFailure::Kind::SymbolicLink ||
        replaced.failure.kind == platform::OutputFailure::Kind::NotRegularFile)
        result.outcome = SaveOutcome::Refused;
    else
        result.outcome = replaced.created ? SaveOutcome::WriteFailed : SaveOutcome::NotCreated;
    return result;
}

std::string saveListWriteErrorText(const std::string& path, int error) {
    return "Error writing the list file " + path + "\n" + platform::systemErrorText(error);
}

std::string skippedEntriesText(std::size_t skipped, const std::string& path) {
    return std::to_string(skipped) + (skipped == 1 ? " entry was" : " entries were") +
           " not saved to " + path + ": " +
           (skipped == 1 ? "its address holds" : "their addresses hold") +
           " control characters, which would turn into other targets in a list.\n";
}

SaveResult saveAddressList(engine::Operator& op, const std::vector<std::string>& lines,
                           const std::string& path) {
    const SaveResult result = writeAddressList(lines, path);
    if (result.outcome == SaveOutcome::WriteFailed)
        op.messageBox(saveListWriteErrorText(path, result.error), engine::BoxIcon::Stop);
    else if (result.outcome == SaveOutcome::Refused)
        op.messageBox("Cannot save the list to " + path + "\n" + result.reason,
                      engine::BoxIcon::Stop);
    else if (result.outcome == SaveOutcome::Written && result.skipped > 0)
        op.messageBox(skippedEntriesText(result.skipped, path), engine::BoxIcon::Information);
    return result;
}

}  // namespace fleet
