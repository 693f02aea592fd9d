#include "fleet/UnitReport.h"

#include "engine/JsonText.h"
#include "engine/VisibleText.h"
#include "fleet/StatusLog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace fleet {

namespace {

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
    std::string text = engine::visibleText(escaped);
    // A spreadsheet takes a cell that starts so for a formula: the leading '
    // makes it text again (a CR is escaped by now, but a reader that undoes
    // the escape must still find the ').
    if (!bytes.empty() &&
        std::string_view("=+-@\t\r").find(bytes.front()) != std::string_view::npos)
        text.insert(text.begin(), '\'');
    return text;
}

std::string reportJsonText(const std::string& bytes) {
    return engine::jsonText(bytes).get<std::string>();
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
    line["target"] = engine::jsonText(entry.target);
    line["interface"] = engine::jsonText(entry.interfaceName);
    line["source_address"] = engine::jsonText(entry.sourceAddress);
    line["product_before"] = engine::jsonText(entry.productBefore);
    line["product_after"] = engine::jsonText(entry.productAfter);
    line["image"] = engine::jsonText(entry.imagePath);
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
    return append(entry) && sync();
}

bool UnitReport::append(const ReportEntry& entry) {
    return file_.append(csv_ ? reportCsvLine(entry) : reportJsonLine(entry));
}

}  // namespace fleet
