// The batch list reader over arbitrary file contents.
#include "fleet/ListReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The list's bytes come from memory, in small uneven pieces so that records
// straddle the reader's buffer refills.
class MemoryList final : public fleet::ListFile {
public:
    MemoryList(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

protected:
    long readRaw(void* buffer, std::size_t length) override {
        const std::size_t piece = std::min({length, size_ - at_, std::size_t{1} + at_ % 97});
        std::memcpy(buffer, data_ + at_, piece);
        at_ += piece;
        return static_cast<long>(piece);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryList list(data, size);
    std::string record;
    std::size_t consumed = 0;
    for (;;) {
        const long length = fleet::ReadListLine(list, record);
        if (length == fleet::kListReadError)
            std::abort();  // memory never fails to read
        if (length < 0) {
            // A refused list: the record is dropped, and it was not read on
            // past the limit.
            if (!record.empty() || record.capacity() > 4 * fleet::kListRecordLimit)
                std::abort();
            break;
        }
        if (length == 0)
            break;
        if (static_cast<std::size_t>(length) != record.size() ||
            record.size() > fleet::kListRecordLimit ||
            record.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            std::abort();
        consumed += record.size();
        if (consumed > size)
            std::abort();
    }
    return 0;
}
