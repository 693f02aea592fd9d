// What fwprog's text output turns outside bytes into: harmless, visible, and
// plain text unchanged.
#include "engine/VisibleText.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Case {
    const char* name;
    std::string in;
    std::string out;
};

class VisibleText : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(VisibleText, WritesEveryByteThatCouldActAsAnEscape) {
    EXPECT_EQ(engine::visibleText(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, VisibleText,
    ::testing::Values(
        Case{"PlainTextTabAndLineEnds", "Unit 7 1.20\t127.0.0.7\n1 Unit Updated\r\nIP: x\n",
             "Unit 7 1.20\t127.0.0.7\n1 Unit Updated\r\nIP: x\n"},
        Case{"EscapeSequences", "\x1b]0;pwned\x07\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J"},
        Case{"CrThatDoesNotEndALine", "a\rb\r\r\nc\r", "a\\x0db\\x0d\r\nc\\x0d"},
        Case{"OtherControlsAndDel", std::string("\0\x01\x08\x0b\x0c\x7f", 6),
             "\\x00\\x01\\x08\\x0b\\x0c\\x7f"},
        Case{"ValidUtf8Passes", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
             "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        Case{"C1ControlsSingleAndInUtf8", "\x9b\xc2\x9b\xc2\x85", "\\x9b\\xc2\\x9b\\xc2\\x85"},
        Case{"Latin1AndStrayContinuations", "Caf\xe9 \x80", "Caf\\xe9 \\x80"},
        Case{"OverlongSurrogateAndBeyondUnicode", "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80",
             "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
        Case{"SequenceCutShortByAnotherByte", "\xe2\x82x\xf0\x9f\n", "\\xe2\\x82x\\xf0\\x9f\n"},
        Case{"SequenceCutShortByTheEnd", "ok\xe2\x82", "ok\\xe2\\x82"},
        // "txt.exe" shown as "exe.txt": the override reorders what follows.
        Case{"RightToLeftOverride",
             "Unit \xe2\x80\xae"
             "exe.txt",
             "Unit \\xe2\\x80\\xaeexe.txt"},
        Case{"EmbeddingsOverridesAndTheirEnd", "\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad",
             "\\xe2\\x80\\xaa\\xe2\\x80\\xab\\xe2\\x80\\xac\\xe2\\x80\\xad"},
        Case{"IsolatesAndTheirEnd",
             "\xe2\x81\xa6"
             "a\xe2\x81\xa7"
             "b\xe2\x81\xa8"
             "c\xe2\x81\xa9",
             "\\xe2\\x81\\xa6a\\xe2\\x81\\xa7b\\xe2\\x81\\xa8c\\xe2\\x81\\xa9"},
        Case{"DirectionMarks",
             "\xe2\x80\x8e"
             "1\xe2\x80\x8f"
             "2\xd8\x9c"
             "3",
             "\\xe2\\x80\\x8e1\\xe2\\x80\\x8f2\\xd8\\x9c3"},
        // Their neighbours are ordinary punctuation and pass.
        Case{"NeighboursOfTheControlsPass", "\xe2\x80\x94\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
             "\xe2\x80\x94\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(VisibleTextStream, TheProgramsOwnControlsPassAroundTheFilterInOrder) {
    std::ostringstream sink;
    {
        engine::VisibleTextBuffer filter(sink.rdbuf());
        std::ostream stream(&filter);
        stream << "\x1b[1A";
        engine::writeControl(stream, "\x1b[1A\r");
        stream << "50%\r";
        engine::writeControl(stream, "\r");
        stream << "\xe2\x82";
        stream.flush();
        stream << "\xac";
    }
    EXPECT_EQ(sink.str(), "\\x1b[1A\x1b[1A\r50%\\x0d\r\\xe2\\x82\\xac");
}
