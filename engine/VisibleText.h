#pragma once

#include <iosfwd>
#include <streambuf>
#include <string>
#include <string_view>

namespace engine {

// What fwprog writes as text passes through here on its way to stdout and
// stderr, because much of it came from outside: discovery replies, list
// records, file and queue names, and the engine's messages that quote them. A
// terminal takes some bytes as commands (ESC starts a sequence that can
// retitle the window or clear the screen, CR moves back over a line), so every
// byte that could act is written as a visible escape instead, "\x1b" and the
// like: C0 controls other than tab and line feed, a CR that does not end a
// line (CR LF passes: the program's own messages use it as a line end), DEL,
// C1 controls, Unicode's bidirectional controls (which reorder what a line
// shows), and bytes that are not valid UTF-8. Printable ASCII and valid
// UTF-8 text pass unchanged, so JSON output (pure ASCII) is untouched.
//
// The program's own terminal controls (the progress line's CR, the parallel
// display's cursor moves) go around the filter through writeControl().
class VisibleTextBuffer : public std::streambuf {
public:
    explicit VisibleTextBuffer(std::streambuf* sink) : sink_(sink) {}
    ~VisibleTextBuffer() override;

    // Writes bytes to the sink as they are, after whatever the filter holds.
    void writeRaw(std::string_view bytes);
    // False once a write to the sink has failed.
    bool good() const { return good_; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

private:
    void take(unsigned char byte);
    // Writes the held bytes of an unfinished sequence as escapes.
    void releaseHeld();
    void emit(std::string_view bytes);
    void emitEscaped(unsigned char byte);
    // Hands what emit() gathered to the sink.
    void pass();

    std::streambuf* sink_;
    bool good_ = true;
    std::string out_;         // filtered bytes not yet handed to the sink
    std::string held_;        // a CR waiting for its LF, or the start of a UTF-8 sequence
    std::size_t needed_ = 0;  // bytes still to come of the UTF-8 sequence in held_
};

// The same filter applied to a string, for tests and for texts built whole.
std::string visibleText(std::string_view text);

// Writes a terminal control of the program's own around the filter when the
// stream has one, and plainly otherwise.
void writeControl(std::ostream& stream, std::string_view sequence);

}  // namespace engine
