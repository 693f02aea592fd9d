// The report's CSV cells: text from outside that a spreadsheet would run as a
// formula, or that would start a row of its own, stays one inert cell; the
// JSON-lines report keeps the exact text.
#include "fleet/UnitReport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

struct Cell {
    const char* name;
    std::string text;  // what the unit answered
    std::string csv;   // the product_before cell as the CSV row holds it
};

struct CsvCell : ::testing::TestWithParam<Cell> {};

fleet::ReportEntry entryWith(const std::string& product) {
    fleet::ReportEntry entry;
    entry.target = "10.0.0.7";
    entry.productBefore = product;
    entry.imagePath = "fw.bin";
    return entry;
}

}  // namespace

TEST_P(CsvCell, IsNeutralisedInCsvAndExactInJson) {
    const fleet::ReportEntry entry = entryWith(GetParam().text);
    const std::string row = fleet::reportCsvLine(entry);
    EXPECT_EQ(row.rfind("10.0.0.7,,," + GetParam().csv + ",", 0), 0u) << row;
    EXPECT_EQ(row.find('\n'), row.size() - 1) << "one row: " << row;
    const auto json = nlohmann::json::parse(fleet::reportJsonLine(entry));
    EXPECT_EQ(json["product_before"], GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, CsvCell,
    ::testing::Values(Cell{"Equals", "=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
                      Cell{"Plus", "+1+cmd", "\"'+1+cmd\""}, Cell{"Minus", "-2+3", "\"'-2+3\""},
                      Cell{"At", "@SUM(A1)", "\"'@SUM(A1)\""}, Cell{"Tab", "\t=1", "\"'\t=1\""},
                      Cell{"CarriageReturn", "\r=1", "\"'\\x0d=1\""},
                      Cell{"LineFeed", "PS-1\nIP: 10.0.0.8", "\"PS-1\\x0aIP: 10.0.0.8\""},
                      Cell{"Plain", "PS-110 v2.1", "PS-110 v2.1"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });
