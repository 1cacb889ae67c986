#pragma once

// The small JSON records of the session: sharing, clipboard, bye, files, chat, permissions and
// screen text. The Hello family is in Hello.h, HostStatus in HostStatus.h.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// Message `sharerInfo`: orientation of a screen-sharing device's picture (1-8, as in image
// orientation metadata; 5-8 swap width and height).
struct SharerInfo {
    std::uint32_t orientation = 1;
    bool operator==(const SharerInfo&) const = default;
};

// Message `clipboard`: the plain text of the sender's clipboard.
struct Clipboard {
    std::string text;
    bool operator==(const Clipboard&) const = default;
};

// Message `bye`: why the sender ends the session.
struct Bye {
    std::string reason;
    bool operator==(const Bye&) const = default;
};

// Message `fileOffer`: announces a file before its chunks.
struct FileOffer {
    Uuid id;
    std::string name;  // last path component only
    std::int64_t size = 0;
    std::optional<std::string> purpose;  // "print" for a printed document
    bool operator==(const FileOffer&) const = default;
};

// Message `fileEnd`.
struct FileEnd {
    Uuid id;
    bool cancelled = false;
    bool operator==(const FileEnd&) const = default;
};

// Message `chat`.
struct ChatMessage {
    Uuid id;
    std::string text;
    std::string sender;
    Date sentAt;
    bool operator==(const ChatMessage&) const = default;
};

// Message `permissions`.
struct SessionPermissions {
    bool canControl = false;
    bool isSupportSession = false;
    bool operator==(const SessionPermissions&) const = default;
};

// Message `screenText`.
struct ScreenText {
    std::vector<std::string> lines;
    std::optional<std::string> frontmostApp;
    bool operator==(const ScreenText&) const = default;
};

void toJson(json::Value& out, const SharerInfo& v);
void fromJson(const json::Value& in, SharerInfo& v);
void toJson(json::Value& out, const Clipboard& v);
void fromJson(const json::Value& in, Clipboard& v);
void toJson(json::Value& out, const Bye& v);
void fromJson(const json::Value& in, Bye& v);
void toJson(json::Value& out, const FileOffer& v);
void fromJson(const json::Value& in, FileOffer& v);
void toJson(json::Value& out, const FileEnd& v);
void fromJson(const json::Value& in, FileEnd& v);
void toJson(json::Value& out, const ChatMessage& v);
void fromJson(const json::Value& in, ChatMessage& v);
void toJson(json::Value& out, const SessionPermissions& v);
void fromJson(const json::Value& in, SessionPermissions& v);
void toJson(json::Value& out, const ScreenText& v);
void fromJson(const json::Value& in, ScreenText& v);

}  // namespace orvane

template <>
struct std::hash<orvane::ChatMessage> {
    std::size_t operator()(const orvane::ChatMessage& m) const noexcept;
};
