#include "fleet/ListReader.h"

#include "platform/ErrorText.h"

namespace fleet {

namespace {
constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;
}  // namespace

ListFile::~ListFile() {
    close();
}

bool ListFile::open(const std::string& path) {
    close();
    notRegularKind_.clear();
    // Never a plain open: one on a FIFO would wait for a writer for ever.
    if (!file_.openRegular(path)) {
        lastError_ = file_.lastError();
        // A folder keeps its own quiet end; every other kind is named.
        if (lastError_ != platform::errors::kIsDirectory)
            notRegularKind_ = file_.notRegularKind();
        return false;
    }
    return true;
}

bool ListFile::rewind() {
    if (!file_.rewind()) {
        lastError_ = file_.lastError();
        return false;
    }
    next_ = filled_ = 0;
    return true;
}

void ListFile::close() {
    file_.close();
    next_ = filled_ = 0;
}

long ListFile::readRaw(void* buffer, std::size_t length) {
    return file_.read(buffer, length);
}

int ListFile::refillAndRead(unsigned char& byte) {
    for (;;) {
        const long got = readRaw(buffer_.data(), buffer_.size());
        if (got > 0) {
            filled_ = static_cast<std::size_t>(got);
            next_ = 1;
            byte = buffer_[0];
            return 1;
        }
        next_ = filled_ = 0;
        if (got == 0)
            return 0;
        const int error = platform::lastSystemError();
        if (!platform::isInterruption(error)) {
            lastError_ = error;
            return -1;
        }
    }
}

long ReadListLine(ListFile& file, std::string& record) {
    record.clear();
    unsigned char byte = 0;
    int got = 0;
    do {
        got = file.readByte(byte);
    } while (got == 1 && (byte == kCr || byte == kLf));
    if (got < 0)
        return kListReadError;
    if (got == 0)
        return 0;
    for (;;) {
        if (byte == 0) {
            record.clear();
            return kListRecordHasNul;
        }
        if (record.size() == kListRecordLimit) {
            record.clear();
            return kListRecordTooLong;
        }
        record.push_back(static_cast<char>(byte));
        got = file.readByte(byte);
        if (got < 0) {
            record.clear();
            return kListReadError;
        }
        if (got == 0 || byte == kCr || byte == kLf)
            return static_cast<long>(record.size());
    }
}

}  // namespace fleet
