#include "Orvane_Host/browser/BrowserRequest.h"

#include <algorithm>
#include <vector>

namespace orvane {

namespace {

constexpr std::string_view terminator = "\r\n\r\n";

// Splits at `sep`, empty pieces dropped; empty pieces do not count towards `maxSplits`, and
// after that many splits the remainder is one piece (0: no limit).
std::vector<std::string_view> splitDropEmpty(std::string_view text, char sep,
                                             std::size_t maxSplits = 0) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != sep) continue;
        bool appended = i > start;
        if (appended) out.push_back(text.substr(start, i - start));
        start = i + 1;
        if (appended && maxSplits && out.size() == maxSplits) break;
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

RequestHeadReader::State RequestHeadReader::feed(ByteView bytes) {
    while (state_ == State::reading && !bytes.empty()) {
        std::size_t n = std::min(bytes.size(), sliceSize);
        // A terminator may straddle the previous slice.
        std::size_t from = gathered_.size() >= 3 ? gathered_.size() - 3 : 0;
        gathered_.insert(gathered_.end(), bytes.begin(), bytes.begin() + n);
        bytes = bytes.subspan(n);
        auto it = std::search(gathered_.begin() + static_cast<std::ptrdiff_t>(from),
                              gathered_.end(), terminator.begin(), terminator.end());
        if (it != gathered_.end()) {
            head_.assign(gathered_.begin(), it);
            rest_.assign(it + static_cast<std::ptrdiff_t>(terminator.size()), gathered_.end());
            rest_.insert(rest_.end(), bytes.begin(), bytes.end());
            gathered_ = Bytes();
            state_ = State::complete;
        } else if (gathered_.size() > maxGathered) {
            gathered_ = Bytes();
            state_ = State::tooLarge;
        }
    }
    return state_;
}

BrowserRequest::Route BrowserRequest::route() const {
    if (method != "GET") return Route::methodNotAllowed;
    if (path == "/ws") return Route::webSocket;
    if (path == "/" || path == "/index.html") return Route::page;
    return Route::notFound;
}

const std::string* BrowserRequest::header(std::string_view lowerName) const {
    auto it = headers.find(std::string(lowerName));
    return it == headers.end() ? nullptr : &it->second;
}

std::optional<BrowserRequest> parseRequestHead(ByteView head) {
    if (!isValidUtf8(head)) return std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    std::vector<std::string_view> lines;
    for (std::size_t start = 0;;) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    BrowserRequest req;
    auto pieces = splitDropEmpty(lines.front(), ' ');
    if (pieces.size() >= 2) {
        req.method = std::string(pieces[0]);
        req.target = std::string(pieces[1]);
        auto parts = splitDropEmpty(req.target, '?', 1);
        req.path = parts.empty() ? req.target : std::string(parts[0]);
        if (parts.size() > 1) req.query = std::string(parts[1]);
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        req.headers[lowerAscii(lines[i].substr(0, colon))] =
            std::string(trimBlanks(lines[i].substr(colon + 1)));
    }
    return req;
}

bool isValidUtf8(ByteView b) {
    std::size_t i = 0;
    while (i < b.size()) {
        std::uint8_t c = b[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t n;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (b.size() - i - 1 < n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    if (!isValidUtf8(asBytes(out))) return std::nullopt;
    return out;
}

std::string queryParameter(std::string_view name, std::string_view query) {
    for (auto item : splitDropEmpty(query, '&')) {
        auto parts = splitDropEmpty(item, '=', 1);
        if (parts.empty() || parts[0] != name) continue;
        if (parts.size() < 2) return {};
        auto decoded = percentDecode(parts[1]);
        return decoded ? *decoded : std::string(parts[1]);
    }
    return {};
}

std::string statusReply(std::string_view status) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string pageReplyHead(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(length) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
}

}  // namespace orvane
