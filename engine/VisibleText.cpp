#include "engine/VisibleText.h"

#include <ostream>
#include <sstream>

namespace engine {

namespace {

constexpr unsigned char kCr = '\r';

// Whether byte can follow the bytes held so far in a UTF-8 sequence. The second
// byte is narrowed for some leads so that overlong forms, UTF-16 surrogates
// and code points beyond U+10FFFF count as invalid, as the standard says.
bool continues(const std::string& held, unsigned char byte) {
    if (byte < 0x80 || byte > 0xBF)
        return false;
    if (held.size() != 1)
        return true;
    switch (static_cast<unsigned char>(held[0])) {
        case 0xE0:
            return byte >= 0xA0;
        case 0xED:
            return byte <= 0x9F;
        case 0xF0:
            return byte >= 0x90;
        case 0xF4:
            return byte <= 0x8F;
        default:
            return true;
    }
}

// Whether a whole UTF-8 sequence is one of Unicode's bidirectional controls
// (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069): they reorder
// the text around them on screen, so a name can show as another.
bool isBidiControl(const std::string& sequence) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
    if (sequence.size() == 2)
        return at(0) == 0xD8 && at(1) == 0x9C;
    if (sequence.size() != 3 || at(0) != 0xE2)
        return false;
    if (at(1) == 0x80)
        return at(2) == 0x8E || at(2) == 0x8F || (at(2) >= 0xAA && at(2) <= 0xAE);
    return at(1) == 0x81 && at(2) >= 0xA6 && at(2) <= 0xA9;
}

}  // namespace

VisibleTextBuffer::~VisibleTextBuffer() {
    sync();
}

void VisibleTextBuffer::emit(std::string_view bytes) {
    out_.append(bytes);
}

void VisibleTextBuffer::pass() {
    // One write to the sink per call that reached the filter, not one a byte:
    // under an unbuffered stderr every write is a system call.
    if (good_ && !out_.empty()) {
        const auto count = static_cast<std::streamsize>(out_.size());
        if (sink_->sputn(out_.data(), count) != count)
            good_ = false;
    }
    out_.clear();
}

void VisibleTextBuffer::emitEscaped(unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const char text[] = {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0x0F]};
    emit(std::string_view(text, sizeof text));
}

void VisibleTextBuffer::releaseHeld() {
    for (const char c : held_)
        emitEscaped(static_cast<unsigned char>(c));
    held_.clear();
    needed_ = 0;
}

void VisibleTextBuffer::take(unsigned char byte) {
    if (!held_.empty() && static_cast<unsigned char>(held_[0]) == kCr) {
        held_.clear();
        if (byte == '\n') {
            emit("\r\n");
            return;
        }
        emitEscaped(kCr);
    }
    if (needed_ > 0) {
        if (continues(held_, byte)) {
            held_.push_back(static_cast<char>(byte));
            if (--needed_ > 0)
                return;
            // U+0080 to U+009F are the C1 controls, as harmful as their
            // single-byte forms on a terminal that reads UTF-8.
            const bool c1 = static_cast<unsigned char>(held_[0]) == 0xC2 &&
                            static_cast<unsigned char>(held_[1]) < 0xA0;
            if (c1 || isBidiControl(held_)) {
                releaseHeld();
            } else {
                emit(held_);
                held_.clear();
            }
            return;
        }
        releaseHeld();
    }
    if (byte == kCr) {
        held_.assign(1, static_cast<char>(byte));
    } else if (byte == '\t' || byte == '\n' || (byte >= 0x20 && byte < 0x7F)) {
        const char c = static_cast<char>(byte);
        emit(std::string_view(&c, 1));
    } else if (byte >= 0xC2 && byte <= 0xF4) {
        held_.assign(1, static_cast<char>(byte));
        needed_ = byte < 0xE0 ? 1 : (byte < 0xF0 ? 2 : 3);
    } else {
        emitEscaped(byte);
    }
}

VisibleTextBuffer::int_type VisibleTextBuffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        take(static_cast<unsigned char>(traits_type::to_char_type(c)));
    pass();
    return good_ ? traits_type::not_eof(c) : traits_type::eof();
}

std::streamsize VisibleTextBuffer::xsputn(const char* data, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i)
        take(static_cast<unsigned char>(data[i]));
    pass();
    return good_ ? count : 0;
}

int VisibleTextBuffer::sync() {
    // A flush ends what was written: a CR or a UTF-8 sequence still unfinished
    // here has nothing more to come that could make it harmless.
    releaseHeld();
    pass();
    if (good_ && sink_->pubsync() != 0)
        good_ = false;
    return good_ ? 0 : -1;
}

void VisibleTextBuffer::writeRaw(std::string_view bytes) {
    releaseHeld();
    emit(bytes);
    pass();
}

std::string visibleText(std::string_view text) {
    std::stringbuf sink;
    {
        VisibleTextBuffer filter(&sink);
        filter.sputn(text.data(), static_cast<std::streamsize>(text.size()));
    }
    return sink.str();
}

void writeControl(std::ostream& stream, std::string_view sequence) {
    if (auto* filter = dynamic_cast<VisibleTextBuffer*>(stream.rdbuf()))
        filter->writeRaw(sequence);
    else
        stream << sequence;
}

}  // namespace engine
