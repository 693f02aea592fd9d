#include "fleet/DeviceList.h"

#include "engine/Protocol.h"
#include "platform/ErrorText.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

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

void DeviceList::insert(std::string line) {
    // After any equal lines, so a repeated line lands behind its twin.
    auto place = std::upper_bound(
        lines_.begin(), lines_.end(), line,
        [](const std::string& x, const std::string& y) { return listLineBefore(x, y); });
    lines_.insert(place, std::move(line));
}

SaveResult writeAddressList(const std::vector<std::string>& lines, const std::string& path) {
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return {SaveOutcome::NotCreated, path.empty() ? ENOENT : errno};
    int error = 0;
    for (const std::string& line : lines) {
        const std::string record = proto::addressFromListLine(line) + "\r\n";
        errno = 0;
        if (std::fwrite(record.data(), 1, record.size(), file) != record.size()) {
            error = errno ? errno : EIO;
            break;
        }
    }
    // Buffered bytes only meet the disk here; a full disk shows up at this point.
    errno = 0;
    if (error == 0 && std::fflush(file) != 0)
        error = errno ? errno : EIO;
    errno = 0;
    if (std::fclose(file) != 0 && error == 0)
        error = errno ? errno : EIO;
    if (error != 0)
        return {SaveOutcome::WriteFailed, error};
    return {};
}

std::string saveListWriteErrorText(const std::string& path, int error) {
    return "Error writing the list file " + path + "\n" + platform::systemErrorText(error);
}

SaveResult saveAddressList(Operator& op, const std::vector<std::string>& lines,
                           const std::string& path) {
    const SaveResult result = writeAddressList(lines, path);
    if (result.outcome == SaveOutcome::WriteFailed)
        op.messageBox(saveListWriteErrorText(path, result.error), mb::kIconStop);
    return result;
}

}  // namespace fleet
