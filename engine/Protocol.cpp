#include "engine/Protocol.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace proto {

std::string entryHeaderForNetwork() {
    std::string header(kEntryHeaderText);
    header.push_back('\0');
    return header;
}

std::string entryHeaderForPrintQueue() {
    return std::string(kEntryHeaderText);
}

bool isBootLoaderReply(const void* reply, std::size_t length) {
    return length >= kBootLoaderTag.size() &&
           std::memcmp(reply, kBootLoaderTag.data(), kBootLoaderTag.size()) == 0;
}

namespace {

// A field ends at a line feed, a NUL byte or the end of the datagram.
std::size_t fieldLength(const char* begin, const char* end) {
    return static_cast<std::size_t>(
        std::find_if(begin, end, [](char c) { return c == '\n' || c == '\0'; }) - begin);
}

}  // namespace

QueryReply parseQueryReply(const void* reply, std::size_t length) {
    const char* bytes = static_cast<const char*>(reply);
    const char* end = bytes + length;
    QueryReply fields;
    const std::size_t productLength = fieldLength(bytes, end);
    fields.product.assign(bytes, productLength);
    // The address starts past the line feed and three bytes nobody reads.
    const std::size_t addressStart = productLength + 4;
    if (addressStart < length)
        fields.address.assign(bytes + addressStart, fieldLength(bytes + addressStart, end));
    return fields;
}

std::string discoveryListLine(const void* reply, std::size_t length) {
    const QueryReply fields = parseQueryReply(reply, length);
    return fields.product + '\t' + fields.address;
}

std::string addressFromListLine(std::string_view line) {
    auto tab = line.find('\t');
    return tab == std::string_view::npos ? std::string() : std::string(line.substr(tab + 1));
}

std::int32_t decodeStatus(const void* datagram, std::size_t length) {
    std::uint32_t value = 0xFFFFFFFFu;
    const auto* bytes = static_cast<const unsigned char*>(datagram);
    for (std::size_t i = 0; i < std::min<std::size_t>(length, 4); ++i) {
        value &= ~(0xFFu << (8 * i));
        value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    }
    return static_cast<std::int32_t>(value);
}

std::string timeStampText(const std::tm& localTime, long standardMinutesWest, int daylightFlag) {
    char text[96] = {};
    std::size_t used = std::strftime(text, sizeof text, "TSBCJ%m-%d-%y, %H-%M-%S", &localTime);
    std::string result(text, used);
    result += ", " + std::to_string(standardMinutesWest) + ", " + std::to_string(daylightFlag);
    return result;
}

}  // namespace proto

}  // namespace engine
