// The browser server's request-head reader fed one byte stream in arbitrary receives, checked
// against what the stream says, and the parse of whatever head it yields.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string_view>

#include "FuzzSupport.h"
#include "Orvane_Host/browser/BrowserRequest.h"

using namespace orvane;

namespace {

constexpr std::string_view terminator = "\r\n\r\n";

bool hasTerminator(ByteView b) {
    return std::search(b.begin(), b.end(), terminator.begin(), terminator.end()) != b.end();
}

void checkParse(ByteView head) {
    auto req = parseRequestHead(head);
    FUZZ_CHECK(req.has_value() == isValidUtf8(head));
    if (!req) return;
    auto route = req->route();
    FUZZ_CHECK((route == BrowserRequest::Route::methodNotAllowed) == (req->method != "GET"));
    if (route == BrowserRequest::Route::webSocket) {
        FUZZ_CHECK(req->path == "/ws");
        // Whatever the query, this never throws and gives UTF-8 or the raw text.
        (void)queryParameter("code", req->query);
    }
    for (const auto& [name, value] : req->headers) {
        FUZZ_CHECK(name.find(':') == std::string::npos);
        FUZZ_CHECK(
            std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
        FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.back() != '\t'));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkParse(ByteView(data, size));

    FuzzedDataProvider in(data, size);
    RequestHeadReader reader;
    Bytes fed;
    while (in.remaining_bytes() > 0 && reader.state() == RequestHeadReader::State::reading) {
        auto n = in.ConsumeIntegralInRange<std::size_t>(0, 64);
        if (n == 64) n = in.ConsumeIntegralInRange<std::size_t>(0, 1 << 17);
        Bytes chunk = in.ConsumeBytes<std::uint8_t>(n);
        fed.insert(fed.end(), chunk.begin(), chunk.end());
        reader.feed(chunk);
    }
    switch (reader.state()) {
        case RequestHeadReader::State::complete: {
            // The head ends at the stream's first terminator; nothing is lost or added.
            Bytes whole = reader.head();
            whole.insert(whole.end(), terminator.begin(), terminator.end());
            whole.insert(whole.end(), reader.rest().begin(), reader.rest().end());
            FUZZ_CHECK(whole == fed);
            FUZZ_CHECK(!hasTerminator(reader.head()));
            FUZZ_CHECK(reader.head().size() <=
                       RequestHeadReader::maxGathered + RequestHeadReader::sliceSize);
            checkParse(reader.head());
            break;
        }
        case RequestHeadReader::State::tooLarge:
            FUZZ_CHECK(fed.size() > RequestHeadReader::maxGathered);
            FUZZ_CHECK(reader.gathered() == 0);
            break;
        case RequestHeadReader::State::reading:
            FUZZ_CHECK(!hasTerminator(fed));
            FUZZ_CHECK(fed.size() <= RequestHeadReader::maxGathered);
            FUZZ_CHECK(reader.gathered() == fed.size());
            break;
    }
    return 0;
}
