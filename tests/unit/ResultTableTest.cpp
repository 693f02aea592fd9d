// The README's table of result values against the code: for each value, the
// text `fwprog single` prints, the log's text and single's exit status are the
// ones the table gives.
#include "cli/Commands.h"
#include "engine/ResultMessages.h"
#include "fleet/StatusLog.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    std::string cell;
    std::istringstream in(row.substr(1));
    while (std::getline(in, cell, '|')) {
        const auto first = cell.find_first_not_of(' ');
        const auto last = cell.find_last_not_of(' ');
        cell = first == std::string::npos ? "" : cell.substr(first, last - first + 1);
        std::string bare;
        for (char c : cell)
            if (c != '`')
                bare += c;
        out.push_back(bare);
    }
    return out;
}

// Whether the first cell of a row covers value: "102", "104–109" or "100 + n".
// exact tells whether the cell names the value itself.
bool covers(const std::string& cell, std::int32_t value, bool* exact) {
    *exact = false;
    if (cell == "100 + n")
        return value > 100;
    const std::string dash = "\u2013";
    if (const auto at = cell.find(dash); at != std::string::npos) {
        const long low = std::stol(cell.substr(0, at));
        const long high = std::stol(cell.substr(at + dash.size()));
        return value >= low && value <= high;
    }
    const std::size_t digits = cell.rfind('-', 0) == 0 ? 1 : 0;
    if (cell.size() == digits || cell.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    *exact = std::stol(cell) == value;
    return *exact;
}

// The table's row for value: the first whose first cell covers it exactly,
// else the first that covers it.
std::optional<std::vector<std::string>> rowFor(std::int32_t value, bool* exact) {
    const std::string readme =
        testing_support::readFile(std::string(FWPROG_SOURCE_DIR) + "/README.md");
    const auto start = readme.find("| `result` |");
    if (start == std::string::npos)
        return std::nullopt;
    std::optional<std::vector<std::string>> found;
    std::istringstream lines(readme.substr(start));
    std::string line;
    while (std::getline(lines, line) && line.rfind("|", 0) == 0) {
        const auto row = cells(line);
        bool rowExact = false;
        if (row.size() < 6 || !covers(row[0], value, &rowExact))
            continue;
        if (rowExact) {
            *exact = true;
            return row;
        }
        if (!found)
            found = row;
    }
    *exact = false;
    return found;
}

// The code's text with the target as "T", CR LF as " / ", and, for a row that
// stands for several values, the number as "N".
std::string asTheTableWritesIt(std::string text, std::int32_t value, bool exact) {
    while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.replace(at, 2, " / ");
    if (!exact) {
        const std::string number = "#" + std::to_string(value);
        if (const auto at = text.find(number); at != std::string::npos)
            text.replace(at, number.size(), "#N");
    }
    return text;
}

class ResultTable : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(ResultTable, GivesTheCodesTextsAndExitStatus) {
    const engine::ProgramResult result(GetParam());
    bool exact = false;
    const auto row = rowFor(GetParam(), &exact);
    ASSERT_TRUE(row) << "README.md has no row for result " << GetParam();
    EXPECT_EQ((*row)[2],
              asTheTableWritesIt(engine::singleResultMessage(result, "T"), GetParam(), exact));
    EXPECT_EQ((*row)[3], asTheTableWritesIt(fleet::resultText(result), GetParam(), exact));
    EXPECT_EQ((*row)[4], std::to_string(cli::exitStatusForResult(result)));
    EXPECT_EQ((*row)[5], result.isHostFailure() ? "stops" : "goes on");
}

INSTANTIATE_TEST_SUITE_P(Readme, ResultTable,
                         ::testing::Values(-1, 0, 1, 2, 3, 101, 102, 103, 104, 105, 106, 107, 108,
                                           109, 150, 2147483647),
                         [](const auto& testCase) {
                             const std::int32_t value = testCase.param;
                             return value < 0 ? "Minus" + std::to_string(-value)
                                              : "Result" + std::to_string(value);
                         });

}  // namespace
