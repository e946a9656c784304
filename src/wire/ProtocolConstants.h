#pragma once

// The numbers of the directory and DBProxy protocols. Header-only and free of
// any other project header, so that a stand-in server can speak the protocol
// from the same definitions as the client.

#include <cstdint>

namespace Protocol {

// Requests, and the directory's reply, open with the header type, the
// service type and the message type, in that order.
inline constexpr std::uint8_t headerType = 5;

enum ServiceType : std::uint16_t {
    dbProxyService = 0,
    directoryService = 2,
};

enum MessageType : std::uint16_t {
    publicKeyRequest = 1,
    registrationRequest = 2,
    getDirectoryReply = 3,
    getDirectoryRequest = 103,
};

// The words that follow the message type; the servers check them as they are.
inline constexpr std::uint32_t getDirectoryFixedWord = 0x06000002;
inline constexpr std::uint32_t registrationFixedWord = 17;

// Directory and DBProxy statuses with this bit set are errors; any other
// value, 1 included, lets the reply go on. The database's status inside the
// sealed verdict has no such bit: anything but 0 refuses.
inline constexpr std::uint16_t errorBit = 0x8000;

constexpr bool isErrorStatus(std::uint16_t status)
{
    return (status & errorBit) != 0;
}

// Every length on the wire travels in 16 bits.
inline constexpr std::uint32_t maxFieldLength = 0xFFFF;

// The registration record: the field count, then per field its tag, a 16-bit
// length and the value. The text comes first; the setting and the flags are
// one byte each.
inline constexpr std::uint8_t recordFieldCount = 5;

enum RecordTag : std::uint8_t {
    textTag = 1,
    settingTag = 2,
    firstFlagTag = 3,
    secondFlagTag = 4,
    thirdFlagTag = 5,
};

} // namespace Protocol
