#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A file read front to back in blocks; never held whole in memory.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens an existing regular file. Anything else (a directory, a device, a
    // FIFO, a socket) is refused: it has no end a stream could reach, or would
    // hang the open itself. The open never waits.
    bool open(const std::string& path);
    // Bytes read (0 at the end of the file), or -1 on a read error.
    long read(void* buffer, std::size_t length);
    bool rewind();
    // The file's length in bytes now.
    std::uint64_t size() const;
    void close();

    bool isOpen() const { return fd_ >= 0; }
    int lastError() const { return lastError_; }
    // What the last refused path was instead of a regular file ("a FIFO",
    // "a character device", ...); empty when the open failed for another reason.
    const std::string& notRegularKind() const { return notRegularKind_; }

private:
    int fd_ = -1;
    int lastError_ = 0;
    std::string notRegularKind_;
};

}  // namespace platform
