// The browser client's frame reader fed one byte stream in arbitrary chunks, against a plain
// reading of the whole stream; text frames also go through the input decoder.

#include <fuzzer/FuzzedDataProvider.h>

#include <limits>
#include <vector>

#include "FuzzSupport.h"
#include "Orvane_Host/browser/BrowserInput.h"
#include "Orvane_Host/browser/WebSocketFrames.h"

using namespace orvane;
using namespace orvane::websocket;

namespace {

struct Outcome {
    std::vector<Frame> frames;
    bool failed = false;
};

bool operator==(const Frame& a, const Frame& b) {
    return a.opcode == b.opcode && a.payload == b.payload;
}

Outcome reference(ByteView s) {
    Outcome out;
    std::size_t at = 0;
    for (;;) {
        std::size_t have = s.size() - at;
        if (have < 2) return out;
        const std::uint8_t* p = s.data() + at;
        std::uint64_t len = p[1] & 0x7F;
        std::size_t header = 2;
        if (len == 126) {
            if (have < 4) return out;
            len = (std::uint64_t(p[2]) << 8) | p[3];
            header = 4;
        } else if (len == 127) {
            if (have < 10) return out;
            len = 0;
            for (int i = 2; i < 10; ++i) len = (len << 8) | p[i];
            header = 10;
        }
        const bool masked = p[1] & 0x80;
        if (masked) header += 4;
        if (len > maxPayload || ((p[0] & 0x08) && len > maxControlPayload)) {
            out.failed = true;
            return out;
        }
        if (have < header + len) return out;
        Frame f;
        f.opcode = p[0] & 0x0F;
        f.payload.assign(p + header, p + header + len);
        if (masked)
            for (std::size_t i = 0; i < f.payload.size(); ++i)
                f.payload[i] ^= p[header - 4 + i % 4];
        out.frames.push_back(std::move(f));
        at += header + static_cast<std::size_t>(len);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FrameReader reader;
    Bytes stream;
    Outcome got;
    while (in.remaining_bytes() > 0) {
        auto n = in.ConsumeIntegralInRange<std::size_t>(0, 64);
        if (n == 64) n = in.ConsumeIntegralInRange<std::size_t>(0, 1 << 16);
        Bytes chunk = in.ConsumeBytes<std::uint8_t>(n);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        reader.append(chunk);
        while (auto f = reader.next()) {
            if (f->opcode == text) (void)BrowserInput::decode(f->payload);
            got.frames.push_back(std::move(*f));
        }
        // Never more than one incomplete frame is held.
        if (!reader.failed()) FUZZ_CHECK(reader.buffered() < maxHeader + maxPayload);
    }
    got.failed = reader.failed();
    Outcome want = reference(stream);
    FUZZ_CHECK(got.failed == want.failed);
    FUZZ_CHECK(got.frames.size() == want.frames.size());
    for (std::size_t i = 0; i < got.frames.size(); ++i) FUZZ_CHECK(got.frames[i] == want.frames[i]);
    // What the server writes, it reads back.
    if (!got.frames.empty()) {
        const Frame& f = got.frames.front();
        Bytes echo = encodeFrameHeader(f.opcode, f.payload.size());
        echo.insert(echo.end(), f.payload.begin(), f.payload.end());
        FrameReader back;
        back.append(echo);
        auto again = back.next();
        if (f.payload.size() <= maxPayload && (!(f.opcode & 0x08) || f.payload.size() <= 125)) {
            FUZZ_CHECK(again.has_value());
            FUZZ_CHECK(*again == f);
        }
    }
    return 0;
}
