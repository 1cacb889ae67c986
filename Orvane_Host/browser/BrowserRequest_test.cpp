#include "Orvane_Host/browser/BrowserRequest.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

using Route = BrowserRequest::Route;
using State = RequestHeadReader::State;

BrowserRequest parse(std::string_view head) {
    auto r = parseRequestHead(asBytes(head));
    EXPECT_TRUE(r) << head;
    return r.value_or(BrowserRequest{});
}

TEST(HttpRequestHead, RoutesByMethodAndExactPath) {
    struct Case {
        const char* requestLine;
        Route route;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1", Route::page},
        {"GET /index.html HTTP/1.0", Route::page},
        {"GET /index.html", Route::page},  // the version is not examined
        {"GET  /   HTTP/9.9  ", Route::page},
        {"GET /index.htm HTTP/1.1", Route::notFound},
        {"GET /ws/ HTTP/1.1", Route::notFound},
        {"GET /ws HTTP/1.1", Route::webSocket},
        {"GET /ws?code=ABC HTTP/1.1", Route::webSocket},
        {"GET ?a HTTP/1.1", Route::notFound},  // its path is "a"
        {"GET ? HTTP/1.1", Route::notFound},
        {"POST / HTTP/1.1", Route::methodNotAllowed},
        {"get / HTTP/1.1", Route::methodNotAllowed},
        {"GET", Route::methodNotAllowed},
        {"", Route::methodNotAllowed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse(std::string(c.requestLine) + "\r\nHost: x").route(), c.route)
            << c.requestLine;
}

TEST(HttpRequestHead, SplitsTargetOnceAtTheFirstQuestionMark) {
    struct Case {
        const char* target;
        const char* path;
        const char* query;
    };
    const Case cases[] = {
        {"/ws?code=X", "/ws", "code=X"},
        {"/ws?a?b", "/ws", "a?b"},
        {"/ws?", "/ws", ""},
        {"?a", "a", ""},
        {"??a?b", "a", "b"},
        {"?", "?", ""},
    };
    for (const auto& c : cases) {
        auto r = parse(std::string("GET ") + c.target + " HTTP/1.1");
        EXPECT_EQ(r.path, c.path) << c.target;
        EXPECT_EQ(r.query, c.query) << c.target;
    }
}

TEST(HttpRequestHead, HeaderNamesIgnoreCaseAndTheLastDuplicateWins) {
    auto r = parse(
        "GET /ws HTTP/1.1\r\nUPGRADE: \t WebSocket \t\r\nno colon here\r\nX-A: 1\r\nx-a: 2\r\n"
        "Host: h:80");
    ASSERT_TRUE(r.header("upgrade"));
    EXPECT_EQ(*r.header("upgrade"), "WebSocket");
    EXPECT_EQ(*r.header("x-a"), "2");
    EXPECT_EQ(*r.header("host"), "h:80");  // split at the first colon only
    EXPECT_EQ(r.headers.size(), 3u);
}

TEST(HttpRequestHead, RefusesHeadsThatAreNotUtf8) {
    for (std::string bad : {"GET /\xff HTTP/1.1", "GET /\xc0\xaf", "GET /\xed\xa0\x80",
                            "GET /\xf4\x90\x80\x80", "GET /\xe2\x82"})
        EXPECT_FALSE(parseRequestHead(asBytes(bad))) << toHex(asBytes(bad));
    EXPECT_TRUE(parseRequestHead(asBytes("GET /\xc3\xa9\xf0\x9f\x98\x80 HTTP/1.1")));
}

TEST(HttpRequestHead, ReaderReassemblesPiecesAndKeepsTheRest) {
    const std::string head = "GET / HTTP/1.1\r\nHost: x";
    const std::string wire = head + "\r\n\r\n\x81\x00";
    // One byte at a time, so the terminator straddles every boundary once.
    RequestHeadReader drip;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        auto s = drip.feed(asBytes(std::string_view(wire).substr(i, 1)));
        if (s == State::complete) {
            // Whatever arrived after the terminator is kept, even later bytes.
            EXPECT_EQ(i, head.size() + 3);
            break;
        }
    }
    ASSERT_EQ(drip.state(), State::complete);
    EXPECT_EQ(toString(drip.head()), head);

    RequestHeadReader whole;
    ASSERT_EQ(whole.feed(asBytes(wire)), State::complete);
    EXPECT_EQ(toString(whole.head()), head);
    EXPECT_EQ(toString(whole.rest()), "\x81\x00");
}

TEST(HttpRequestHead, ReaderGivesUpPastTheLimitButTakesATerminatorInTheCrossingSlice) {
    struct Case {
        std::size_t filler;
        bool terminatorInLastSlice;
        State want;
    };
    const Case cases[] = {
        {64000, false, State::reading},  // exactly at the limit: still waiting
        {64001, false, State::tooLarge},
        {64000 + 100, true, State::complete},  // the slice that crosses still counts
    };
    for (const auto& c : cases) {
        RequestHeadReader r;
        std::string bytes(c.filler, 'a');
        if (c.terminatorInLastSlice) bytes += "\r\n\r\n";
        // Fed in 16,384-byte receives, as the server does; the last one crosses 64,000.
        for (std::size_t at = 0; at < bytes.size(); at += RequestHeadReader::sliceSize)
            r.feed(asBytes(std::string_view(bytes).substr(at, RequestHeadReader::sliceSize)));
        EXPECT_EQ(r.state(), c.want) << c.filler;
    }
    // A single large delivery is cut into the same slices.
    RequestHeadReader big;
    EXPECT_EQ(big.feed(asBytes(std::string(200000, 'a') + "\r\n\r\n")), State::tooLarge);
}

TEST(HttpRequestHead, QueryParameter) {
    struct Case {
        const char* query;
        const char* want;
    };
    const Case cases[] = {
        {"code=abc-def", "abc-def"},
        {"x=1&code=A%20B&code=C", "A B"},  // the first match wins, decoded
        {"code=a+b", "a+b"},               // "+" is not a space
        {"code=%zz", "%zz"},               // undecodable: the raw text
        {"code=%ff", "%ff"},               // decodes to bytes that are not UTF-8
        {"code=", ""},
        {"code", ""},
        {"&&code=x&&", "x"},
        {"=code", ""},  // a piece "=code" has the name "code" and no value
        {"code==x", "=x"},
        {"Code=x", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(queryParameter("code", c.query), c.want) << c.query;
}

TEST(HttpRequestHead, RepliesAreExactBytes) {
    EXPECT_EQ(statusReply("404 Not Found"),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(pageReplyHead(12),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
              "12\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace orvane
