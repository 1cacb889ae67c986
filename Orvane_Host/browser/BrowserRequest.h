#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Gathers one HTTP request head from bytes as they arrive. Bytes are taken in slices of at most
// `sliceSize`, as one receive would deliver them, so a head is given up once more than
// `maxGathered` bytes have no terminator, while a terminator found in the slice that crosses the
// limit still counts.
class RequestHeadReader {
public:
    static constexpr std::size_t sliceSize = 16384;
    static constexpr std::size_t maxGathered = 64000;

    enum class State { reading, complete, tooLarge };

    // Ignored once complete or too large.
    State feed(ByteView bytes);
    State state() const { return state_; }
    // Once complete: the bytes before CR LF CR LF, and everything received after it.
    const Bytes& head() const { return head_; }
    const Bytes& rest() const { return rest_; }
    std::size_t gathered() const { return gathered_.size(); }

private:
    State state_ = State::reading;
    Bytes gathered_;
    Bytes head_;
    Bytes rest_;
};

// A parsed request head. Header names are lower-cased, values trimmed of spaces and tabs; a
// later header of the same name replaces an earlier one.
struct BrowserRequest {
    enum class Route { page, webSocket, methodNotAllowed, notFound };

    std::string method;  // empty when the request line has fewer than two pieces
    std::string target;
    std::string path;
    std::string query;  // after the first "?", empty when none
    std::map<std::string, std::string> headers;

    Route route() const;
    const std::string* header(std::string_view lowerName) const;
};

// Nothing when the head is not valid UTF-8.
std::optional<BrowserRequest> parseRequestHead(ByteView head);

bool isValidUtf8(ByteView bytes);
// %XX sequences to bytes; nothing on a malformed escape or a result that is not UTF-8. "+" stays.
std::optional<std::string> percentDecode(std::string_view text);
// The first query item named exactly `name`, percent-decoded (the raw value when that fails);
// empty when there is none or it has no value.
std::string queryParameter(std::string_view name, std::string_view query);

// "HTTP/1.1 <status>" with no body, for a connection that closes after it.
std::string statusReply(std::string_view status);
// The head of a 200 reply carrying `length` bytes of HTML.
std::string pageReplyHead(std::size_t length);

}  // namespace orvane
