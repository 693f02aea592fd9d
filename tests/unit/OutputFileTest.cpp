// Files the program writes: what stands at the path decides whether it is
// written at all, and a refused path keeps every byte it had.
#include "platform/OutputFile.h"
#include "tests/support/TestEnvironment.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

using Kind = platform::OutputFailure::Kind;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct Target {
    const char* name;
    // Makes the thing at path; returns the path written to.
    std::function<std::string(TempDir&)> make;
    Kind kind;
    const char* reason;  // the start of OutputFailure::reason()
};

std::string victim(TempDir& dir) {
    const auto path = dir.file("victim.txt");
    writeFile(path, "keep me\n");
    return path.string();
}

const Target kTargets[] = {
    {"Symlink",
     [](TempDir& dir) {
         const auto link = dir.file("link.txt");
         std::filesystem::create_symlink(victim(dir), link);
         return link.string();
     },
     Kind::SymbolicLink, "It is a symbolic link"},
    {"DanglingSymlink",
     [](TempDir& dir) {
         const auto link = dir.file("link.txt");
         std::filesystem::create_symlink(dir.file("would be created.txt"), link);
         return link.string();
     },
     Kind::SymbolicLink, "It is a symbolic link"},
    {"Fifo",
     [](TempDir& dir) {
         const auto fifo = dir.file("fifo");
         ::mkfifo(fifo.c_str(), 0600);
         return fifo.string();
     },
     Kind::NotRegularFile, "It is a FIFO (named pipe), not a regular file"},
    {"Device", [](TempDir&) { return std::string("/dev/null"); }, Kind::NotRegularFile,
     "It is a device, not a regular file"},
    {"Folder",
     [](TempDir& dir) {
         std::filesystem::create_directory(dir.file("folder"));
         return dir.file("folder").string();
     },
     Kind::NotRegularFile, "It is a folder, not a regular file"},
};

class RefusedTarget : public ::testing::TestWithParam<Target> {};

void expectLeftAsItWas(TempDir& dir, const std::string& path) {
    if (std::filesystem::exists(dir.file("victim.txt"))) {
        EXPECT_EQ(readFile(dir.file("victim.txt")), "keep me\n");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("would be created.txt")));
    if (path != "/dev/null") {
        EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
    }
}

}  // namespace

TEST_P(RefusedTarget, IsNeverOpenedForWriting) {
    TempDir dir;
    const std::string path = GetParam().make(dir);
    platform::OutputFile file;
    EXPECT_FALSE(file.createExclusive(path));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.failure().kind, GetParam().kind);
    EXPECT_EQ(file.failure().reason().rfind(GetParam().reason, 0), 0u) << file.failure().reason();
    expectLeftAsItWas(dir, path);
}

TEST_P(RefusedTarget, IsNeverReplaced) {
    TempDir dir;
    const std::string path = GetParam().make(dir);
    const platform::ReplaceResult result = platform::replaceFileContents(path, "10.0.0.1\r\n");
    EXPECT_EQ(result.failure.kind, GetParam().kind);
    EXPECT_FALSE(result.created);
    EXPECT_EQ(result.failure.reason().rfind(GetParam().reason, 0), 0u) << result.failure.reason();
    expectLeftAsItWas(dir, path);
}

INSTANTIATE_TEST_SUITE_P(Targets, RefusedTarget, ::testing::ValuesIn(kTargets),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(OutputFile, AFileInUseKeepsItsLinesAndAFreedOneIsEmptiedForTheNextWriter) {
    TempDir dir;
    const std::string path = dir.file("Status.txt").string();
    platform::OutputFile first;
    ASSERT_TRUE(first.createExclusive(path));
    ASSERT_TRUE(first.write("line one\r\n"));

    platform::OutputFile second;
    EXPECT_FALSE(second.createExclusive(path));
    EXPECT_EQ(second.failure().kind, Kind::InUse);
    EXPECT_EQ(readFile(path), "line one\r\n");

    ASSERT_TRUE(first.close());
    ASSERT_TRUE(second.createExclusive(path));
    EXPECT_EQ(readFile(path), "");
    ASSERT_TRUE(second.write("line two\r\n"));
    EXPECT_EQ(readFile(path), "line two\r\n") << "each write is in the file when it returns";
}

TEST(ReplaceFile, TheWholeFileAppearsAtOnceWithTheOldPermissions) {
    TempDir dir;
    const auto path = dir.file("units.txt");
    writeFile(path, "old\r\n");
    ::chmod(path.c_str(), 0640);
    const auto before = std::filesystem::status(path).permissions();
    const platform::ReplaceResult result = platform::replaceFileContents(path.string(), "new\r\n");
    EXPECT_FALSE(result.failure) << result.failure.reason();
    EXPECT_TRUE(result.created);
    EXPECT_EQ(readFile(path), "new\r\n");
    EXPECT_EQ(std::filesystem::status(path).permissions(), before);
    // Nothing but the list itself is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);

    // No folder to put it in: nothing is created anywhere.
    const auto missing = platform::replaceFileContents(dir.file("no/such.txt").string(), "x");
    EXPECT_EQ(missing.failure.kind, Kind::System);
    EXPECT_EQ(missing.failure.error, ENOENT);
    EXPECT_FALSE(missing.created);
    // A name ending in "/" can only mean a folder.
    const auto slash = platform::replaceFileContents(dir.file("new").string() + "/", "x");
    EXPECT_TRUE(slash.failure);
    EXPECT_FALSE(std::filesystem::exists(dir.file("new")));
}

TEST(OutputFile, AFileWithASecondNameIsRefusedAndBothNamesKeepTheirBytes) {
    TempDir dir;
    const std::string path = dir.file("Status.txt").string();
    const std::string other = dir.file("kept.txt").string();
    writeFile(other, "keep me\n");
    ASSERT_EQ(::link(other.c_str(), path.c_str()), 0);

    EXPECT_EQ(platform::checkOutputPath(path).kind, Kind::HardLinked);
    platform::OutputFile file;
    EXPECT_FALSE(file.createExclusive(path));
    EXPECT_EQ(file.failure().kind, Kind::HardLinked);
    EXPECT_EQ(file.failure().reason().rfind("It has 2 hard links", 0), 0u)
        << file.failure().reason();
    EXPECT_EQ(readFile(other), "keep me\n");
    EXPECT_EQ(readFile(path), "keep me\n");
    // With its second name gone, it is an ordinary file to write again.
    std::filesystem::remove(other);
    EXPECT_FALSE(platform::checkOutputPath(path));
    EXPECT_TRUE(file.createExclusive(path));
}

// A file size limit makes the write that crosses it fail part way, as a full
// disk does.
TEST(OutputFile, AWriteThatFailsPartWayIsCutBackToTheLastWholeOne) {
    TempDir dir;
    const std::string path = dir.file("Status.txt").string();
    platform::OutputFile file;
    ASSERT_TRUE(file.createExclusive(path));
    ASSERT_TRUE(file.write(std::string(90, 'a') + "\r\n"));

    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = before;
    limit.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool wrote = file.write("IP: 10.0.0.1 Successfully Programmed\r\n");
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(wrote);
    EXPECT_EQ(file.failure().kind, Kind::System);
    EXPECT_EQ(readFile(path), std::string(90, 'a') + "\r\n") << "a torn line was left";
    // The next line starts where the last whole one ended.
    ASSERT_TRUE(file.write("next\r\n"));
    EXPECT_EQ(readFile(path), std::string(90, 'a') + "\r\nnext\r\n");
}
