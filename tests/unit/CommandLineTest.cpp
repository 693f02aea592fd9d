// The command line's one rule: the first argument that is not an option is the image.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

using app::imagePathFromArguments;
using Args = std::vector<std::string>;

TEST(CommandLine, FirstNonOptionArgumentIsTheImageAndLaterOnesAreIgnored) {
    EXPECT_EQ(imagePathFromArguments(Args{}), "");
    EXPECT_EQ(imagePathFromArguments(Args{"unit.wq1"}), "unit.wq1");
    EXPECT_EQ(imagePathFromArguments(Args{"first.wq1", "second.wq1"}), "first.wq1");
    // A path with blanks arrives from the shell as one argument and stays whole.
    EXPECT_EQ(imagePathFromArguments(Args{"C:/My Images/fw 2.wq1", "x"}), "C:/My Images/fw 2.wq1");
}

TEST(CommandLine, DashOptionsAndTheFrameworksSlashOptionsAreNeverTheImage) {
    EXPECT_EQ(imagePathFromArguments(Args{"-pt", "/p", "--flag", "/Embedding", "/DDE"}), "");
    EXPECT_EQ(imagePathFromArguments(Args{"-", "/", "img"}), "img");
    EXPECT_EQ(imagePathFromArguments(Args{"-/srv/fw.wq1", "img"}), "img");
    EXPECT_EQ(imagePathFromArguments(Args{"a-b.wq1", "-c"}), "a-b.wq1")
        << "only the first character decides";
}

TEST(CommandLine, AnAbsolutePathIsAnImageNotAnOption) {
    // On this platform "/" starts every absolute path; taking it for an option
    // would silently open the window without the image the operator named.
    EXPECT_EQ(imagePathFromArguments(Args{"/home/op/unit.wq1", "unit.wq1"}), "/home/op/unit.wq1");
    EXPECT_EQ(imagePathFromArguments(Args{"/p", "/srv/fw/p"}), "/srv/fw/p");
    EXPECT_EQ(imagePathFromArguments(Args{"/pt2"}), "/pt2") << "only the exact option names";
}

TEST(CommandLine, AnEmptyArgumentNamesNoFileSoTheNextOneStillCan) {
    EXPECT_EQ(imagePathFromArguments(Args{"", "unit.wq1"}), "unit.wq1");
    EXPECT_EQ(imagePathFromArguments(Args{""}), "");
}

TEST(CommandLine, MainArgumentsSkipTheProgramName) {
    const char* argv[] = {"firmware-programmer", "-x", "unit.wq1", "other", nullptr};
    EXPECT_EQ(imagePathFromArguments(4, argv), "unit.wq1");
    const char* only[] = {"image-looking-program.wq1", nullptr};
    EXPECT_EQ(imagePathFromArguments(1, only), "");
    EXPECT_EQ(imagePathFromArguments(0, nullptr), "");
}
