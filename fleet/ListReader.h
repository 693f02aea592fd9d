#pragma once

#include "platform/InputFile.h"

#include <cstddef>
#include <string>
#include <vector>

namespace fleet {

// A batch list opened for reading, front to back through a buffer of its own so
// that reading it byte by byte does not cost one system call per byte.
// Its position is the position of the next byte a reader takes, whatever the
// buffer holds ahead.
class ListFile {
public:
    ListFile() = default;
    virtual ~ListFile();
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    // Opens an existing regular file for reading, without waiting even when a
    // FIFO stands at the path; false with lastError() when it cannot (EISDIR for
    // a folder) and, for anything else that is no regular file, notRegularKind().
    [[nodiscard]] bool open(const std::string& path);
    // Back to the first byte; false with lastError() when the file cannot seek.
    [[nodiscard]] bool rewind();
    void close();
    bool isOpen() const { return file_.isOpen(); }
    int lastError() const { return lastError_; }
    // What open() found instead of a regular file ("a FIFO", "a character
    // device", ...); empty for a folder and for every other failure.
    const std::string& notRegularKind() const { return notRegularKind_; }

    // The next byte: 1 when one was read, 0 at the end of the file, -1 on a
    // read error (lastError() tells which).
    [[nodiscard]] int readByte(unsigned char& byte) {
        if (next_ < filled_) {
            byte = buffer_[next_++];
            return 1;
        }
        return refillAndRead(byte);
    }

protected:
    // Reads from the open file into buffer: bytes read, 0 at the end, -1 on an
    // error, which platform::lastSystemError() then tells. Tests replace it to
    // fail at a chosen point.
    [[nodiscard]] virtual long readRaw(void* buffer, std::size_t length);

private:
    [[nodiscard]] int refillAndRead(unsigned char& byte);

    platform::InputFile file_;
    int lastError_ = 0;
    std::string notRegularKind_;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(64 * 1024);
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

// Results of ReadListLine for a list that must not be used.
inline constexpr long kListReadError = -1;      // the file could not be read
inline constexpr long kListRecordTooLong = -2;  // a record is longer than kListRecordLimit
inline constexpr long kListRecordHasNul = -3;   // a record holds a NUL byte

// The longest record a list may hold. Targets are addresses and print-queue
// names, far shorter; anything longer means the file is not a list.
inline constexpr std::size_t kListRecordLimit = 1024;

// Reads the list's next record into record and returns its length: at least 1
// for a record, 0 when the list holds no further record, or one of the
// negative results above (the file's lastError() tells a read error's cause).
//
// CR and LF bytes in front of a record are skipped; the record then runs up to
// the next CR or LF, which is consumed, or to the end of the file. So CR, LF
// and CR LF each end a line, and blank lines produce nothing. Every other byte
// is part of the record, spaces included: it is used verbatim. A record of
// more than kListRecordLimit bytes is not read beyond that limit, so memory
// stays bounded whatever the file holds.
[[nodiscard]] long ReadListLine(ListFile& file, std::string& record);

}  // namespace fleet
