#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A batch list opened for reading, front to back through a buffer of its own so
// that a list of one very long line does not cost one system call per byte.
// Its position is the position of the next byte a reader takes, whatever the
// buffer holds ahead.
class ListFile {
public:
    ListFile() = default;
    virtual ~ListFile();
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    // Opens an existing file for reading; false with lastError() when it cannot.
    bool open(const std::string& path);
    // Back to the first byte; false with lastError() when the file cannot seek.
    bool rewind();
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int lastError() const { return lastError_; }

    // The next byte: 1 when one was read, 0 at the end of the file, -1 on a
    // read error (lastError() tells which).
    int readByte(unsigned char& byte) {
        if (next_ < filled_) {
            byte = buffer_[next_++];
            return 1;
        }
        return refillAndRead(byte);
    }

protected:
    // Reads from the open file into buffer: bytes read, 0 at the end, -1 with
    // errno set on an error. Tests replace it to fail at a chosen point.
    virtual long readRaw(void* buffer, std::size_t length);

private:
    int refillAndRead(unsigned char& byte);

    int fd_ = -1;
    int lastError_ = 0;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(64 * 1024);
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

// Result of ReadListLine when the file could not be read.
inline constexpr long kListReadError = -1;

// Reads the list's next record into record and returns its length: at least 1
// for a record, 0 when the list holds no further record, kListReadError when
// the file could not be read (the file's lastError() tells why).
//
// CR and LF bytes in front of a record are skipped; the record then runs up to
// the next CR, which is consumed, or to the end of the file. An LF inside a
// record is one of its characters, and so is every other byte, spaces and NUL
// included: the record is used verbatim and whole, however long.
long ReadListLine(ListFile& file, std::string& record);
