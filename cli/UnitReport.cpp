#include "cli/UnitReport.h"

#include "cli/VisibleText.h"
#include "fleet/StatusLog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace cli {

namespace {

// Bytes as the Latin-1 code points they would be, in UTF-8: the JSON library
// takes UTF-8 only, and this keeps any byte a unit or a path holds.
std::string latin1AsUtf8(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

std::string csvField(const std::string& bytes) {
    const std::string text = reportCsvCellText(bytes);
    // A cell whose bytes had to be escaped or neutralised is quoted too, so that no reader
    // can take any of it for a row or cell of its own.
    if (text.find_first_of(",\"\t") == std::string::npos && text == bytes &&
        (text.empty() || (text.front() != ' ' && text.back() != ' ')))
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string reportCsvCellText(const std::string& bytes) {
    // Line breaks and the other controls (but tab, which quoting keeps in its
    // cell) become visible escapes; then what a terminal could act on.
    std::string escaped;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            escaped += escape;
        } else {
            escaped += c;
        }
    }
    std::string text = visibleText(escaped);
    // A spreadsheet takes a cell that starts so for a formula: the leading '
    // makes it text again (a CR is escaped by now, but a reader that undoes
    // the escape must still find the ').
    if (!bytes.empty() &&
        std::string_view("=+-@\t\r").find(bytes.front()) != std::string_view::npos)
        text.insert(text.begin(), '\'');
    return text;
}

std::string reportJsonText(const std::string& bytes) {
    return latin1AsUtf8(bytes);
}

bool reportWantsCsv(const std::string& path) {
    if (path.size() < 4)
        return false;
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".csv";
}

std::string reportJsonLine(const ReportEntry& entry) {
    nlohmann::ordered_json line;
    line["target"] = reportJsonText(entry.target);
    line["interface"] = latin1AsUtf8(entry.interfaceName);
    line["source_address"] = latin1AsUtf8(entry.sourceAddress);
    line["product_before"] = latin1AsUtf8(entry.productBefore);
    line["product_after"] = latin1AsUtf8(entry.productAfter);
    line["image"] = latin1AsUtf8(entry.imagePath);
    line["image_bytes"] = entry.imageBytes;
    line["image_sha256"] = entry.imageSha256;
    line["result"] = entry.result.value();
    line["result_text"] = fleet::resultText(entry.result);
    line["attempts"] = entry.attempts;
    line["bytes_delivered"] = entry.bytesDelivered;
    line["foreign_datagrams"] = entry.foreignDatagrams;
    line["start"] = entry.start;
    line["end"] = entry.end;
    line["skipped"] = entry.skipped;
    // ASCII only: every control character and every byte above 0x7E escaped.
    return line.dump(-1, ' ', true) + "\n";
}

std::string reportCsvHeader() {
    return "target,interface,source_address,product_before,product_after,image,image_bytes,"
           "image_sha256,result,result_text,attempts,bytes_delivered,foreign_datagrams,start,"
           "end,skipped\r\n";
}

std::string reportCsvLine(const ReportEntry& entry) {
    const std::string fields[] = {csvField(entry.target),
                                  csvField(entry.interfaceName),
                                  csvField(entry.sourceAddress),
                                  csvField(entry.productBefore),
                                  csvField(entry.productAfter),
                                  csvField(entry.imagePath),
                                  std::to_string(entry.imageBytes),
                                  entry.imageSha256,
                                  std::to_string(entry.result.value()),
                                  csvField(fleet::resultText(entry.result)),
                                  std::to_string(entry.attempts),
                                  std::to_string(entry.bytesDelivered),
                                  std::to_string(entry.foreignDatagrams),
                                  entry.start,
                                  entry.end,
                                  entry.skipped ? "true" : "false"};
    std::string line;
    for (const std::string& field : fields)
        line += (line.empty() && &field == &fields[0] ? "" : ",") + field;
    return line + "\r\n";
}

bool UnitReport::open(const std::string& path) {
    csv_ = reportWantsCsv(path);
    if (!file_.createExclusive(path))
        return false;
    return !csv_ || file_.write(reportCsvHeader());
}

bool UnitReport::write(const ReportEntry& entry) {
    return file_.write(csv_ ? reportCsvLine(entry) : reportJsonLine(entry));
}

}  // namespace cli
