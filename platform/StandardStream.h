#pragma once

#include "platform/NativeHandle.h"

#include <streambuf>
#include <string>
#include <vector>

namespace platform {

// The process's standard streams.
enum class StandardStream { Input, Output, Error };

// True when the stream is a terminal a person reads or types at, rather than
// a file or a pipe.
[[nodiscard]] bool isTerminal(StandardStream stream);

// Readies the standard streams once, at the start of a program: bytes pass
// through unchanged (no line ends rewritten), and a terminal takes the
// control sequences progress lines are drawn with.
void setUpStandardStreams();

// The program's arguments after its own name, as UTF-8 whatever the system's
// code page.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// The stream buffer under fwprog's standard output: bytes go straight to the
// process's own stream, and the first failure (a full disk, a closed pipe) is
// kept with the system's error number so the program can say what went wrong
// instead of ending as if all had been written. After a failure nothing more
// is written.
class StandardStreamBuffer : public std::streambuf {
public:
    explicit StandardStreamBuffer(StandardStream stream);
    ~StandardStreamBuffer() override;

    // The error number of the first failed write; 0 while every write has succeeded.
    int lastError() const { return error_; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

private:
    [[nodiscard]] bool drain();
    [[nodiscard]] bool writeAll(const char* data, std::size_t length);

    NativeHandle fd_;
    int error_ = 0;
    std::vector<char> buffer_ = std::vector<char>(8192);
};

}  // namespace platform
