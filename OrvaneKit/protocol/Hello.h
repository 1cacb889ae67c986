#pragma once

// The greeting records: a viewer's Hello, the host's answer, and the display lists.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

// Texts match exactly (case-sensitive); any other text fails the whole record, with no fallback.
enum class ClientPlatform { mac, iPhone, iPad, vision, watch, unknown };
enum class ClientRole { viewer, screenSharer };

std::string_view rawValue(ClientPlatform p);
std::optional<ClientPlatform> clientPlatformFromRaw(std::string_view text);
std::string_view rawValue(ClientRole r);
std::optional<ClientRole> clientRoleFromRaw(std::string_view text);

void toJson(json::Value& out, ClientPlatform p);
void fromJson(const json::Value& in, ClientPlatform& p);
void toJson(json::Value& out, ClientRole r);
void fromJson(const json::Value& in, ClientRole& r);

// Message `hello`: the first sealed message from a viewer or a screen-sharing device.
// preferredDisplayID is normally set after construction, when the viewer wants a display.
struct Hello {
    std::string deviceName;
    ClientPlatform platform = ClientPlatform::unknown;
    std::int64_t protocolVersion = orvane::protocolVersion;
    std::optional<std::string> deviceID;
    std::optional<ClientRole> role;  // absent means a viewer
    std::optional<bool> supportsHEVC;
    std::optional<bool> supportsHDR;
    std::optional<std::string> iCloudToken;
    std::optional<std::uint32_t> preferredDisplayID;

    bool operator==(const Hello&) const = default;
};

// One display of the host.
struct DisplayInfo {
    std::uint32_t id = 0;
    std::string name;
    std::int64_t width = 0;   // points
    std::int64_t height = 0;  // points

    bool operator==(const DisplayInfo&) const = default;
};

// Message `helloAck`.
struct HelloAck {
    std::string hostName;
    std::vector<DisplayInfo> displays;
    std::uint32_t activeDisplayID = 0;

    bool operator==(const HelloAck&) const = default;
};

// Message `displays`: the list after the host's displays changed.
struct DisplayList {
    std::vector<DisplayInfo> displays;
    std::uint32_t activeDisplayID = 0;

    bool operator==(const DisplayList&) const = default;
};

// Message `selectDisplay`.
struct SelectDisplay {
    std::uint32_t displayID = 0;

    bool operator==(const SelectDisplay&) const = default;
};

void toJson(json::Value& out, const Hello& v);
void fromJson(const json::Value& in, Hello& v);
void toJson(json::Value& out, const DisplayInfo& v);
void fromJson(const json::Value& in, DisplayInfo& v);
void toJson(json::Value& out, const HelloAck& v);
void fromJson(const json::Value& in, HelloAck& v);
void toJson(json::Value& out, const DisplayList& v);
void fromJson(const json::Value& in, DisplayList& v);
void toJson(json::Value& out, const SelectDisplay& v);
void fromJson(const json::Value& in, SelectDisplay& v);

}  // namespace orvane

template <>
struct std::hash<orvane::DisplayInfo> {
    std::size_t operator()(const orvane::DisplayInfo& d) const noexcept;
};
