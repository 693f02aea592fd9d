#pragma once

#include "platform/NativeHandle.h"

#include <string>
#include <string_view>

namespace platform {

// Why a file could not be opened or written. A planted symbolic link, a hard
// link, a FIFO or a device in place of a file the program writes is refused
// before a single byte changes, and the operator is told which it was.
struct OutputFailure {
    enum class Kind {
        None,
        System,          // the system refused; error holds its errno
        SymbolicLink,    // the path's last part is a symbolic link
        NotRegularFile,  // a FIFO, device, socket or folder stands at the path
        InUse,           // another writer holds the file's lock (see OutputFile)
        HardLinked,      // the file has other names too (links holds how many in all)
    };
    Kind kind = Kind::None;
    int error = 0;            // errno where the system gave one
    std::string fileType;     // for NotRegularFile: "a FIFO (named pipe)", "a device", ...
    unsigned long links = 0;  // for HardLinked: the file's names in all

    explicit operator bool() const { return kind != Kind::None; }
    // The reason in plain words, ending in a line break, as the operator reads
    // it under the failure's own first line. InUse has no text here: only the
    // caller knows who the other writer is.
    std::string reason() const;
};

// A regular file written piece by piece, each piece on the disk before write()
// returns (the batch's status log). Opened without following a symbolic link
// and without blocking, so a FIFO never hangs the program; anything but a
// regular file is refused, and so is a file with more than one name (a hard
// link would let the batch empty and rewrite a file kept under another name);
// the file is emptied only after every check has passed and its lock is held.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file or empties an existing one. While another OutputFile
    // (in any process on this computer) holds the same file, it fails with
    // Kind::InUse and the file keeps every byte.
    [[nodiscard]] bool createExclusive(const std::string& path);
    // Writes all of bytes and hands them to the disk. A write that fails
    // part way (a full disk) is cut back off, so the file ends where the last
    // whole write ended, never inside a line.
    [[nodiscard]] bool write(std::string_view bytes);
    // The same in two steps, for records written in bursts: append() writes
    // all of bytes (or cuts them back off), and sync() hands every append
    // so far to the disk at once. When the disk refuses them, the file is
    // cut back to where the last sync ended, never inside a line.
    [[nodiscard]] bool append(std::string_view bytes);
    [[nodiscard]] bool sync();
    // False when the system reports a late write error.
    [[nodiscard]] bool close();

    bool isOpen() const { return fd_ != kNoHandle; }
    const OutputFailure& failure() const { return failure_; }

private:
    NativeHandle fd_ = kNoHandle;
    OutputFailure failure_;
    unsigned long long whole_ = 0;   // bytes of the writes that succeeded
    unsigned long long synced_ = 0;  // of them, bytes handed to the disk
};

// What createExclusive would refuse at path, found without changing anything
// there: a symbolic link, anything but a regular file, a file with more than
// one name, or one another writer holds. No failure when nothing stands there.
// Lets a batch check its report before it empties its log.
[[nodiscard]] OutputFailure checkOutputPath(const std::string& path);

// Puts bytes at path as a whole or not at all: they go to a new file in the
// same folder, reach the disk, and that file is then renamed over path, so a
// half-written file never stands at path. A symbolic link or anything but a
// regular file at path is refused and left as it was; an existing regular file
// keeps its permission bits. created tells whether the new file came into
// being (false: nothing was written anywhere).
struct ReplaceResult {
    OutputFailure failure;
    bool created = false;
};
[[nodiscard]] ReplaceResult replaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace platform
