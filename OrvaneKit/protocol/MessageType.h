#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvane {

// Every message on a session connection carries one of these codes in its frame header.
// Codes 28-39 and everything above 42 are unassigned.
enum class MessageType : std::uint32_t {
    invalid = 0,  // an unknown or missing code
    hello = 1,
    helloAck = 2,
    video = 3,
    input = 4,
    clipboard = 5,
    selectDisplay = 6,
    keyframeRequest = 7,
    ping = 8,
    pong = 9,
    bye = 10,
    audioFormat = 11,
    audio = 12,
    fileOffer = 13,
    fileChunk = 14,
    fileEnd = 15,
    chat = 16,
    permissions = 17,
    hostStatus = 18,
    hostAction = 19,
    annotation = 20,
    sharerInfo = 21,
    macCommand = 22,
    screenTextRequest = 23,
    screenText = 24,
    screenshotRequest = 25,
    screenshot = 26,
    displays = 27,
    secureClientHello = 40,
    secureServerHello = 41,
    secureFinish = 42,
};

constexpr std::uint32_t rawValue(MessageType t) {
    return static_cast<std::uint32_t>(t);
}

// The catalogue's case for a wire code, or nothing for an unassigned code.
constexpr std::optional<MessageType> messageTypeFromRaw(std::uint32_t code) {
    if (code <= 27 || (code >= 40 && code <= 42)) return static_cast<MessageType>(code);
    return std::nullopt;
}

// All 31 cases in declaration order.
inline constexpr std::array<MessageType, 31> allMessageTypes = [] {
    std::array<MessageType, 31> all{};
    for (std::uint32_t i = 0; i <= 27; ++i) all[i] = static_cast<MessageType>(i);
    all[28] = MessageType::secureClientHello;
    all[29] = MessageType::secureServerHello;
    all[30] = MessageType::secureFinish;
    return all;
}();

// The case's name as written above, for logs.
std::string_view messageTypeName(MessageType t);

// True for the three handshake messages, which travel unsealed and only before the channel.
constexpr bool isHandshake(MessageType t) {
    return t == MessageType::secureClientHello || t == MessageType::secureServerHello ||
           t == MessageType::secureFinish;
}

inline constexpr std::uint16_t defaultPort = 5895;
inline constexpr std::string_view bonjourServiceType = "_kelsap._tcp";
// What a viewer writes into its Hello; the host never compares it.
inline constexpr std::int64_t protocolVersion = 2;

// Modifier masks of a key event's flags (same bit positions as the viewers' platform flags).
namespace ModifierBits {
inline constexpr std::uint64_t capsLock = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace ModifierBits

}  // namespace orvane
