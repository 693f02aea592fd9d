#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace engine {

// Every byte the programmer exchanges with a unit. Pure functions, no I/O.
namespace proto {

// The query a unit answers on its management port.
inline constexpr std::string_view kQuery{"BCJ", 3};

// PJL sequence that sends a unit into its boot loader (39 characters).
inline constexpr std::string_view kEntryHeaderText{"\x1b%-12345X@PJL ENTER LANGUAGE=BCJ\r\nX=1\r\n",
                                                   39};

// The header as sent on the network: its 39 characters and the terminating NUL.
std::string entryHeaderForNetwork();
// The header as the whole first print-queue document: no NUL.
std::string entryHeaderForPrintQueue();

inline constexpr std::string_view kBootLoaderTag{"BootLoader", 10};
// True when the reply's first 10 bytes are exactly "BootLoader".
bool isBootLoaderReply(const void* reply, std::size_t length);

// The two fields a unit's answer to the query carries: its product and
// version, then (past a line feed and three bytes nobody reads) its address.
// Each ends at a line feed, a NUL byte or the end of the datagram.
struct QueryReply {
    std::string product;
    std::string address;
};
QueryReply parseQueryReply(const void* reply, std::size_t length);

// A discovery reply made into a list line: product and version, a tab, the address.
std::string discoveryListLine(const void* reply, std::size_t length);
// The address of a list line: everything after its first tab (empty without one).
std::string addressFromListLine(std::string_view line);

// A status datagram read as little-endian signed 32 bits over an initial -1: a
// datagram shorter than 4 bytes replaces only the low-order bytes. Extra bytes
// beyond 4 are ignored (callers drop such datagrams before decoding).
std::int32_t decodeStatus(const void* datagram, std::size_t length);

// "TSBCJ%m-%d-%y, %H-%M-%S, <minutes west>, <daylight flag>"
std::string timeStampText(const std::tm& localTime, long standardMinutesWest, int daylightFlag);

}  // namespace proto

}  // namespace engine
