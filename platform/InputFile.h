#pragma once

#include "platform/NativeHandle.h"

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

    // Opens an existing file that is not a directory.
    [[nodiscard]] bool open(const std::string& path);
    // Opens an existing regular file only: anything else (a directory, a
    // device, a FIFO, a socket) is refused, as it has no end a stream could
    // reach or would hang the open itself. This open never waits.
    [[nodiscard]] bool openRegular(const std::string& path);
    // Bytes read (0 at the end of the file), or -1 on a read error.
    [[nodiscard]] long read(void* buffer, std::size_t length);
    [[nodiscard]] bool rewind();
    // The file's length in bytes now.
    std::uint64_t size() const;
    void close();

    bool isOpen() const { return fd_ != kNoHandle; }
    int lastError() const { return lastError_; }
    // What the path openRegular refused was instead of a regular file ("a
    // FIFO", "a character device", ...); empty when it failed for another reason.
    const std::string& notRegularKind() const { return notRegularKind_; }

private:
    [[nodiscard]] bool open(const std::string& path, bool regularOnly);

    NativeHandle fd_ = kNoHandle;
    int lastError_ = 0;
    std::string notRegularKind_;
};

}  // namespace platform
