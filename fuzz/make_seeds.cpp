// Writes the seed corpora: real traffic of our own components (a genuine handshake, sealed
// records of every message body, encoder-shaped video packets), plus one deliberate input per
// class of bad input each parser must refuse. Deterministic: running it again rewrites the same
// files. Usage: fuzz_seeds DIR (normally fuzz/corpus).

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "FuzzSupport.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/BitWriter.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/protocol/FrameDecoder.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/testing/RandomMessages.h"
#include "OrvaneKit/security/SecureHandshake.h"

using namespace orvane;
using fuzz::Script;
namespace fs = std::filesystem;

namespace {

fs::path root;

void write(const std::string& target, const std::string& name, ByteView bytes) {
    fs::create_directories(root / target);
    std::ofstream out(root / target / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes frame(std::uint32_t code, ByteView payload) {
    auto h = encodeHeader(code, static_cast<std::uint32_t>(payload.size()));
    Bytes out(h.begin(), h.end());
    append(out, payload);
    return out;
}

Bytes header(std::uint32_t code, std::uint32_t length) {
    auto h = encodeHeader(code, length);
    return Bytes(h.begin(), h.end());
}

// ---- A genuine session ---------------------------------------------------------------------

struct Session {
    Bytes hello, reply, finish;
    std::vector<std::pair<MessageType, Bytes>> bodies;   // plain bodies in catalogue order
    std::vector<std::pair<MessageType, Bytes>> records;  // the same, sealed by the client
};

template <class T>
void addBody(Session& s, testing::RandomMessages& rm, MessageType type) {
    s.bodies.emplace_back(type, *json::encode(rm.make<T>()));
}

Session makeSession() {
    fuzz::identityRandom().reset();
    fuzz::ReplayRandom clientRandom(toBytes("fuzz client")), serverRandom(toBytes("fuzz server"));
    SecureHandshake client(SecureHandshake::Role::client, fuzz::accessKey(), fuzz::clientIdentity(),
                           clientRandom);
    SecureHandshake server(SecureHandshake::Role::server, fuzz::accessKey(), fuzz::serverIdentity(),
                           serverRandom);
    Session s;
    s.hello = client.makeClientHello();
    s.reply = server.respondToClientHello(s.hello);
    auto result = client.handleServerHello(s.reply);
    s.finish = result.finish;
    server.acceptFinish(s.finish);

    testing::RandomMessages rm(7);
    addBody<Hello>(s, rm, MessageType::hello);
    addBody<InputEvent>(s, rm, MessageType::input);
    addBody<InputEvent>(s, rm, MessageType::input);
    addBody<Clipboard>(s, rm, MessageType::clipboard);
    addBody<SelectDisplay>(s, rm, MessageType::selectDisplay);
    s.bodies.emplace_back(MessageType::keyframeRequest, Bytes{});
    s.bodies.emplace_back(MessageType::ping, toBytes("ping-1"));
    addBody<FileOffer>(s, rm, MessageType::fileOffer);
    s.bodies.emplace_back(MessageType::fileChunk, Bytes(16 + 40, 0x42));
    addBody<FileEnd>(s, rm, MessageType::fileEnd);
    addBody<ChatMessage>(s, rm, MessageType::chat);
    addBody<HostAction>(s, rm, MessageType::hostAction);
    addBody<AnnotationEvent>(s, rm, MessageType::annotation);
    addBody<SharerInfo>(s, rm, MessageType::sharerInfo);
    addBody<MacCommand>(s, rm, MessageType::macCommand);
    s.bodies.emplace_back(MessageType::screenTextRequest, Bytes{});
    s.bodies.emplace_back(MessageType::screenshotRequest, Bytes{});
    addBody<Bye>(s, rm, MessageType::bye);
    for (const auto& [type, body] : s.bodies)
        s.records.emplace_back(type, result.channel->seal(body));
    return s;
}

// ---- Frame decoder -------------------------------------------------------------------------

constexpr std::uint64_t frameModes = 7;  // index of "before, then after the handshake"

void chunked(Script& s, ByteView stream, std::size_t chunk) {
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        std::size_t n = std::min(chunk, stream.size() - at);
        if (n < 64) {
            s.integer(n, 0, 64);
        } else {
            s.integer(64, 0, 64);
            s.integer(n, 0, 1 << 16);
        }
        s.bytes(stream.subspan(at, n));
    }
}

void frameSeed(const std::string& name, std::uint64_t mode, ByteView stream, std::size_t chunk) {
    Script s;
    s.integer(mode, 0, frameModes);
    chunked(s, stream, chunk);
    write("frame_decoder", name, s.finish());
}

void frameSeeds(const Session& session) {
    Bytes wire;
    append(wire, frame(40, session.hello));
    append(wire, frame(41, session.reply));
    append(wire, frame(42, session.finish));
    Bytes handshakeOnly = wire;
    for (const auto& [type, record] : session.records) append(wire, frame(rawValue(type), record));
    frameSeed("session-whole", frameModes, wire, 1 << 16);
    frameSeed("session-1500", frameModes, wire, 1500);
    frameSeed("handshake-63", 0, handshakeOnly, 63);

    Bytes small;
    for (std::size_t i = 0; i < 4 && i < session.records.size(); ++i)
        append(small, frame(rawValue(session.records[i].first), session.records[i].second));
    // A header split at every offset.
    for (std::size_t k = 1; k < frameHeaderSize; ++k) {
        Script s;
        s.integer(1, 0, frameModes);
        s.integer(k, 0, 64);
        s.bytes(ByteView(small).subspan(0, k));
        chunked(s, ByteView(small).subspan(k), 64 * 1024);
        write("frame_decoder", "header-split-" + std::to_string(k), s.finish());
    }
    frameSeed("bytewise", 1, small, 1);

    Bytes lengths;
    append(lengths, frame(8, {}));
    append(lengths, frame(8, Bytes(1, 0x61)));
    append(lengths, frame(33, Bytes(3, 0x62)));  // unassigned code, kept in step
    append(lengths, header(0xFFFFFFFF, 2));
    append(lengths, Bytes(2, 0x63));
    frameSeed("lengths-0-1-unassigned", 0, lengths, 5);
    frameSeed("length-ffffffff", 1, header(3, 0xFFFFFFFF), 8);
    frameSeed("before-cap-plus-1", 0, header(40, maxPayloadBeforeChannel + 1), 8);
    Bytes atCap = header(40, maxPayloadBeforeChannel);
    append(atCap, Bytes(100, 0));
    frameSeed("before-cap-exact-partial", 0, atCap, 8);
    frameSeed("after-cap-plus-1", 1, header(3, maxPayloadAfterChannel + 1), 8);
    // Three handshake-sized frames, then one the earlier limit refuses and the later allows.
    Bytes raised;
    for (std::uint32_t code : {40u, 41u, 42u}) append(raised, frame(code, Bytes(3, 1)));
    append(raised, header(3, maxPayloadBeforeChannel + 1));
    append(raised, Bytes(16, 2));
    frameSeed("raised-after-handshake", frameModes, raised, 7);
    frameSeed("limit-zero", 2, lengths, 64 * 1024);
}

// ---- JSON bodies ---------------------------------------------------------------------------

void jsonSeed(const std::string& name, MessageType type, std::string_view body) {
    Bytes b{static_cast<std::uint8_t>(rawValue(type))};
    append(b, asBytes(body));
    write("json_bodies", name, b);
}

template <class T>
void jsonRandom(const std::string& name, MessageType type, testing::RandomMessages& rm, int count) {
    for (int i = 0; i < count; ++i) {
        auto text = json::encodeString(rm.make<T>());
        if (text) jsonSeed(name + "-" + std::to_string(i), type, *text);
    }
}

void jsonSeeds() {
    testing::RandomMessages rm(11);
    jsonRandom<Hello>("hello", MessageType::hello, rm, 3);
    jsonRandom<HelloAck>("hello-ack", MessageType::helloAck, rm, 2);
    jsonRandom<InputEvent>("input", MessageType::input, rm, 8);
    jsonRandom<Clipboard>("clipboard", MessageType::clipboard, rm, 2);
    jsonRandom<SelectDisplay>("select-display", MessageType::selectDisplay, rm, 1);
    jsonRandom<Bye>("bye", MessageType::bye, rm, 1);
    jsonRandom<FileOffer>("file-offer", MessageType::fileOffer, rm, 2);
    jsonRandom<FileEnd>("file-end", MessageType::fileEnd, rm, 1);
    jsonRandom<ChatMessage>("chat", MessageType::chat, rm, 2);
    jsonRandom<SessionPermissions>("permissions", MessageType::permissions, rm, 1);
    jsonRandom<HostStatus>("host-status", MessageType::hostStatus, rm, 2);
    jsonRandom<HostAction>("host-action", MessageType::hostAction, rm, 3);
    jsonRandom<AnnotationEvent>("annotation", MessageType::annotation, rm, 3);
    jsonRandom<SharerInfo>("sharer-info", MessageType::sharerInfo, rm, 1);
    jsonRandom<MacCommand>("mac-command", MessageType::macCommand, rm, 3);
    jsonRandom<ScreenText>("screen-text", MessageType::screenText, rm, 2);
    jsonRandom<DisplayList>("displays", MessageType::displays, rm, 2);
    AudioStreamFormat audio{48000, 2, 480, Bytes{0xF8, 0xE8, 0x50, 0x00}};
    jsonSeed("audio-format", MessageType::audioFormat, *json::encodeString(audio));

    // Bad input the decoders must refuse (or, for unknown keys, ignore) without harm.
    jsonSeed("bad-utf8-lone-continuation", MessageType::clipboard, "{\"text\":\"a\x80z\"}");
    jsonSeed("bad-utf8-overlong-slash", MessageType::clipboard, "{\"text\":\"\xC0\xAF\"}");
    jsonSeed("bad-utf8-surrogate", MessageType::bye, "{\"reason\":\"\xED\xA0\x80\"}");
    jsonSeed("bad-utf8-lone-escape-surrogate", MessageType::bye, "{\"reason\":\"\\ud800\"}");
    jsonSeed("bad-utf8-truncated", MessageType::chat, "{\"text\":\"\xE2\x82");
    jsonSeed("deep-nesting-600", MessageType::hello, std::string(600, '[') + std::string(600, ']'));
    jsonSeed("deep-nesting-objects", MessageType::screenText, [] {
        std::string s;
        for (int i = 0; i < 600; ++i) s += "{\"a\":";
        s += "1";
        s += std::string(600, '}');
        return s;
    }());
    jsonSeed("huge-string", MessageType::clipboard,
             "{\"text\":\"" + std::string(70000, 'x') + "\"}");
    jsonSeed("huge-number-text", MessageType::selectDisplay,
             "{\"displayID\":1" + std::string(5000, '0') + "}");
    jsonSeed("number-1e400", MessageType::hostStatus,
             "{\"model\":\"m\",\"osVersion\":\"o\",\"uptimeSeconds\":1e400,\"thermalState\":"
             "\"nominal\",\"memoryGB\":8}");
    jsonSeed("number-2-64", MessageType::selectDisplay, "{\"displayID\":18446744073709551616}");
    jsonSeed("number-u32-plus-1", MessageType::selectDisplay, "{\"displayID\":4294967296}");
    jsonSeed("number-negative-unsigned", MessageType::selectDisplay, "{\"displayID\":-1}");
    jsonSeed("number-fraction-for-int", MessageType::sharerInfo, "{\"orientation\":1.5}");
    jsonSeed("number-exponent-int", MessageType::sharerInfo, "{\"orientation\":1e0}");
    jsonSeed("number-nan-token", MessageType::hostStatus,
             "{\"model\":\"m\",\"osVersion\":\"o\",\"uptimeSeconds\":NaN,\"thermalState\":"
             "\"nominal\",\"memoryGB\":8}");
    jsonSeed("float-beyond-range", MessageType::annotation,
             "{\"stroke\":{\"_0\":{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"points\":["
             "1e39],\"color\":[0],\"width\":1}}}");
    jsonSeed("missing-key", MessageType::fileOffer, "{\"name\":\"a\",\"size\":1}");
    jsonSeed("null-required", MessageType::fileEnd, "{\"id\":null,\"cancelled\":true}");
    jsonSeed("extra-keys", MessageType::permissions,
             "{\"canControl\":true,\"isSupportSession\":false,\"x\":[1,{\"y\":null}]}");
    jsonSeed("two-cases", MessageType::input,
             "{\"mouseMove\":{\"x\":1,\"y\":2},\"text\":{\"text\":\"a\"}}");
    jsonSeed("unknown-case", MessageType::macCommand, "{\"formatDisk\":{}}");
    jsonSeed("unknown-enum-text", MessageType::hostAction, "\"selfDestruct\"");
    jsonSeed("bad-uuid", MessageType::fileEnd, "{\"id\":\"not-a-uuid\",\"cancelled\":false}");
    jsonSeed(
        "bad-base64", MessageType::audioFormat,
        "{\"sampleRate\":48000,\"channels\":2,\"framesPerPacket\":480,\"magicCookie\":\"A===\"}");
    jsonSeed("trailing-garbage", MessageType::bye, "{\"reason\":\"x\"} {}");
    jsonSeed("wrong-types", MessageType::chat,
             "{\"id\":1,\"text\":true,\"sender\":[],\"sentAt\":\"0\"}");
    jsonSeed("parser-only", MessageType::invalid, "[1,-0,0.5e-3,\"\\u00e9\\/\",{},null,true]");
}

// ---- Video packets -------------------------------------------------------------------------

void videoSeed(const std::string& name, ByteView body) {
    write("video_packet", name, body);
}

void videoSeeds() {
    const Bytes sps{0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x01, 0x40, 0x16, 0xE8};
    const Bytes pps{0x68, 0xCE, 0x3C, 0x80};
    Bytes idr{0x00, 0x00, 0x00, 0x05, 0x65, 0x88, 0x84, 0x00, 0x33};
    Bytes p{0x00, 0x00, 0x00, 0x04, 0x41, 0x9A, 0x02, 0x10};
    videoSeed("h264-key", *VideoPacket{true, VideoCodec::h264, 33333, {sps, pps}, idr}.serialize());
    videoSeed("h264-delta", *VideoPacket{false, VideoCodec::h264, 66666, {}, p}.serialize());
    videoSeed("hevc-key", *VideoPacket{true,
                                       VideoCodec::hevc,
                                       1,
                                       {Bytes{0x40, 0x01}, Bytes{0x42, 0x01}, Bytes{0x44, 0x01}},
                                       idr}
                               .serialize());
    for (std::size_t n = 0; n < 9; ++n) videoSeed("short-" + std::to_string(n), Bytes(n, 0x01));
    videoSeed("key-without-count", Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0});
    Bytes count255{0x01, 0, 0, 0, 0, 0, 0, 0, 1, 255};
    append(count255, Bytes{0x00, 0x02, 0xAA, 0xBB, 0xFF, 0xFF, 0x00});
    videoSeed("key-count-255-lengths-past-end", count255);
    videoSeed("set-length-0",
              *VideoPacket{true, VideoCodec::h264, 2, {Bytes{}, pps}, idr}.serialize());
    videoSeed("set-length-65535",
              *VideoPacket{true, VideoCodec::h264, 3, {Bytes(65535, 0x67)}, idr}.serialize());
    Bytes over{0x01, 0, 0, 0, 0, 0, 0, 0, 4, 1, 0xFF, 0xFF};
    append(over, Bytes(100, 0x67));
    videoSeed("set-length-65535-short", over);
}

// Runs of packets for the depacketizer, each body after a u16 length.
void writeUe(BitWriter& w, uint32_t v) {
    uint64_t code = uint64_t{v} + 1;
    int bits = 64 - __builtin_clzll(code);
    w.write(0, bits - 1);
    w.write(static_cast<uint32_t>(code), bits);
}

Bytes h264Sps(uint32_t widthMbs, uint32_t heightMbs) {
    BitWriter w;
    w.write(66, 8);
    w.write(0xC01F, 16);
    for (uint32_t v : {0u, 0u, 0u, 0u, 1u}) writeUe(w, v);
    w.write(0, 1);
    writeUe(w, widthMbs - 1);
    writeUe(w, heightMbs - 1);
    w.write(0b1101, 4);  // frame only, direct 8x8, no crop, no VUI
    w.write(1, 1);
    w.alignToByte();
    Bytes out{0x67};
    append(out, w.bytes());
    return out;
}

Bytes hevcSps(uint32_t width, uint32_t height) {
    BitWriter w;
    w.write(1, 8);
    for (int i = 0; i < 3; ++i) w.write(0x40000000, 32);
    for (uint32_t v : {0u, 1u, width, height}) writeUe(w, v);
    w.write(0b01, 2);
    w.alignToByte();
    Bytes out{0x42, 0x01};
    append(out, w.bytes());
    return out;
}

void depacketizerSeed(const std::string& name, const std::vector<VideoPacket>& packets) {
    Bytes run;
    for (const auto& p : packets) {
        Bytes body = *p.serialize();
        appendBE16(run, static_cast<uint16_t>(body.size()));
        append(run, body);
    }
    write("video_depacketizer", name, run);
}

void depacketizerSeeds() {
    const Bytes pps{0x68, 0xCE, 0x3C, 0x80};
    const Bytes idr{0x00, 0x00, 0x00, 0x05, 0x65, 0x88, 0x84, 0x00, 0x33};
    const Bytes p{0x00, 0x00, 0x00, 0x04, 0x41, 0x9A, 0x02, 0x10};
    const VideoCodec h264 = VideoCodec::h264, hevc = VideoCodec::hevc;
    depacketizerSeed("h264-key-delta",
                     {{true, h264, 1, {h264Sps(20, 15), pps}, idr}, {false, h264, 2, {}, p}});
    depacketizerSeed("h264-resize", {{true, h264, 1, {h264Sps(20, 15), pps}, idr},
                                     {true, h264, 2, {h264Sps(120, 68), pps}, idr}});
    depacketizerSeed("h264-too-wide", {{true, h264, 1, {h264Sps(513, 1), pps}, idr}});
    depacketizerSeed("delta-first",
                     {{false, h264, 1, {}, p}, {true, h264, 2, {h264Sps(1, 1), pps}, idr}});
    Bytes past = idr;
    past[3] = 0x06;
    depacketizerSeed("length-past-payload", {{true, h264, 1, {h264Sps(1, 1), pps}, past}});
    depacketizerSeed("hevc-key-delta",
                     {{true,
                       hevc,
                       1,
                       {Bytes{0x40, 0x01, 0x0C}, hevcSps(1170, 2532), Bytes{0x44, 0x01, 0xC1}},
                       idr},
                      {false, hevc, 2, {}, p}});
    depacketizerSeed(
        "hevc-huge",
        {{true, hevc, 1, {Bytes{0x40, 0x01}, hevcSps(1u << 30, 64), Bytes{0x44, 0x01}}, idr}});
    depacketizerSeed("time-2-63", {{true, h264, uint64_t{1} << 63, {h264Sps(1, 1), pps}, idr}});
}

// ---- Sealed records ------------------------------------------------------------------------

enum RecordOp { seal = 0, open = 1, flip = 2, cut = 3, raw = 4, openInPlace = 5 };

void recordSeed(const std::string& name, bool nearEnd, const std::function<void(Script&)>& ops) {
    Script s;
    s.flag(nearEnd);
    ops(s);
    write("record_open", name, s.finish());
}

void sealOp(Script& s, std::string_view body) {
    s.integer(seal, 0, 5).integer(body.size(), 0, 300).bytes(asBytes(body));
}
void pickOp(Script& s, RecordOp op, std::size_t index, std::size_t count) {
    s.integer(op, 0, 5).integer(index, 0, count - 1);
}

void recordSeeds(const Session& session) {
    recordSeed("in-order", false, [&](Script& s) {
        std::size_t n = 0;
        for (const auto& [type, body] : session.bodies) {
            if (n == 6) break;
            sealOp(s, std::string(body.begin(), body.end()));
            pickOp(s, n % 2 ? open : openInPlace, n, n + 1);
            ++n;
        }
    });
    recordSeed("replayed", false, [](Script& s) {
        sealOp(s, "one");
        pickOp(s, open, 0, 1);
        pickOp(s, open, 0, 1);
        sealOp(s, "two");
        pickOp(s, open, 1, 2);
    });
    recordSeed("reordered", false, [](Script& s) {
        sealOp(s, "one");
        sealOp(s, "two");
        pickOp(s, open, 1, 2);
        pickOp(s, open, 0, 2);
    });
    recordSeed("shorter-than-16", false, [](Script& s) {
        sealOp(s, "body");
        pickOp(s, cut, 0, 1);
        s.integer(15, 0, 20);
        pickOp(s, open, 0, 1);
        s.integer(raw, 0, 5).integer(0, 0, 80);
        s.integer(raw, 0, 5).integer(15, 0, 80).bytes(Bytes(15, 9));
    });
    recordSeed("altered", false, [](Script& s) {
        sealOp(s, "abc");
        pickOp(s, flip, 0, 1);
        s.integer(5, 0, 19 * 8 - 1);
        sealOp(s, "def");
        pickOp(s, open, 1, 2);
    });
    recordSeed("numbers-used-up", true, [](Script& s) {
        for (int i = 0; i < 4; ++i) sealOp(s, "x");
        for (int i = 0; i < 3; ++i) pickOp(s, open, static_cast<std::size_t>(i), 3);
        s.integer(raw, 0, 5).integer(16, 0, 80).bytes(Bytes(16, 0));
    });
}

// ---- Handshake -----------------------------------------------------------------------------

enum HandshakeStep {
    clientHello = 0,
    serverHello = 1,
    clientFinish = 2,
    serverFinish = 3,
    forge = 4,
    fields = 5,
    wrongRole = 6
};
enum Delivery {
    genuine = 0,
    rawBytes = 1,
    resize = 2,
    setByte = 3,
    cutShort = 4,
    trailing = 5,
    dropOrRepeat = 6,
    patch = 7
};
enum Length { minusOne = 0, plusOne = 1, zero = 2, atMax = 3, aboveMax = 4 };

void handshakeSeed(const std::string& name, const std::function<void(Script&)>& ops) {
    Script s;
    ops(s);
    write("handshake", name, s.finish());
}
Script& step(Script& s, HandshakeStep st) {
    return s.integer(st, 0, 6);
}
Script& deliverAs(Script& s, Delivery d) {
    return s.integer(d, 0, 7);
}
// Step `st` gets its genuine message with field `field` (of `count`) resized.
void resized(Script& s, HandshakeStep st, std::size_t field, std::size_t count, Length len) {
    step(s, st);
    deliverAs(s, resize).integer(field, 0, count - 1).integer(len, 0, 6);
}

void handshakeSeeds(const Session& session) {
    auto toServerHello = [](Script& s) {
        step(s, clientHello);
        step(s, serverHello);
        deliverAs(s, genuine);
    };
    auto toFinish = [&](Script& s) {
        toServerHello(s);
        step(s, clientFinish);
        deliverAs(s, genuine);
    };
    handshakeSeed("complete", [&](Script& s) {
        toFinish(s);
        step(s, serverFinish);
        deliverAs(s, genuine);
        step(s, wrongRole);
    });
    handshakeSeed("hello-field-1048576", [&](Script& s) {
        step(s, clientHello);
        resized(s, serverHello, 0, 2, atMax);
    });
    handshakeSeed("hello-field-1048577", [&](Script& s) {
        step(s, clientHello);
        resized(s, serverHello, 1, 2, aboveMax);
    });
    handshakeSeed("hello-truncated-prefix", [&](Script& s) {
        step(s, clientHello);
        step(s, serverHello);
        deliverAs(s, cutShort).integer(2, 0, session.hello.size() - 1);
    });
    handshakeSeed("hello-trailing-bytes", [&](Script& s) {
        step(s, clientHello);
        step(s, serverHello);
        deliverAs(s, trailing).integer(3, 1, 16).bytes(Bytes{1, 2, 3});
    });
    handshakeSeed("hello-three-fields", [&](Script& s) {
        step(s, clientHello);
        step(s, serverHello);
        deliverAs(s, dropOrRepeat).integer(0, 0, 1).flag(false);
    });
    handshakeSeed("reply-one-field-short", [&](Script& s) {
        toServerHello(s);
        step(s, clientFinish);
        deliverAs(s, dropOrRepeat).integer(2, 0, 2).flag(true);
    });
    handshakeSeed("xwing-key-1215", [&](Script& s) {
        toServerHello(s);
        resized(s, clientFinish, 0, 3, minusOne);
    });
    handshakeSeed("xwing-key-1217", [&](Script& s) {
        toServerHello(s);
        resized(s, clientFinish, 0, 3, plusOne);
    });
    handshakeSeed("mlkem-coefficient-4095", [&](Script& s) {
        toServerHello(s);
        step(s, clientFinish);
        deliverAs(s, patch)
            .integer(0, 0, 2)
            .integer(0, 0, 1215)
            .integer(2, 1, 4)
            .bytes(Bytes{0xFF, 0x0F});
    });
    handshakeSeed("mlkem-coefficient-3329", [&](Script& s) {
        toServerHello(s);
        step(s, clientFinish);
        // 3329 = 0xD01 in the low 12 bits of the first coefficient.
        deliverAs(s, patch)
            .integer(0, 0, 2)
            .integer(0, 0, 1215)
            .integer(2, 1, 4)
            .bytes(Bytes{0x01, 0x0D});
    });
    handshakeSeed("server-signature-4626", [&](Script& s) {
        toServerHello(s);
        resized(s, clientFinish, 2, 3, minusOne);
    });
    handshakeSeed("server-signature-4628", [&](Script& s) {
        toServerHello(s);
        resized(s, clientFinish, 2, 3, plusOne);
    });
    handshakeSeed("client-signature-4626", [&](Script& s) {
        toFinish(s);
        resized(s, serverFinish, 1, 2, minusOne);
    });
    handshakeSeed("client-signature-4628", [&](Script& s) {
        toFinish(s);
        resized(s, serverFinish, 1, 2, plusOne);
    });
    handshakeSeed("ciphertext-1119-signed", [&](Script& s) {
        toFinish(s);
        step(s, forge).integer(minusOne, 0, 6);
    });
    handshakeSeed("ciphertext-1121-signed", [&](Script& s) {
        toFinish(s);
        step(s, forge).integer(plusOne, 0, 6);
    });
    handshakeSeed("finish-before-hello", [&](Script& s) {
        step(s, clientHello);
        step(s, serverFinish);
        deliverAs(s, rawBytes).integer(8, 0, 512).bytes(Bytes{0, 0, 0, 0, 0, 0, 0, 0});
    });
    handshakeSeed("server-hello-twice", [&](Script& s) {
        toServerHello(s);
        step(s, serverHello);
        deliverAs(s, genuine);
        step(s, clientFinish);
        deliverAs(s, genuine);
        step(s, serverFinish);
        deliverAs(s, genuine);
    });
    handshakeSeed("decode-fields", [&](Script& s) {
        Bytes body = SecureHandshake::encodeFields({Bytes{1}, Bytes{}, Bytes(5, 2)});
        step(s, fields).integer(body.size(), 0, 256).bytes(body).integer(3, 0, 4);
        Bytes huge{0x00, 0x10, 0x00, 0x01};
        step(s, fields).integer(huge.size(), 0, 256).bytes(huge).integer(1, 0, 4);
    });
}

// ---- Connection ----------------------------------------------------------------------------

enum ConnectionOp {
    sealedMessage = 0,
    bareHeader = 2,
    rawStream = 3,
    replay = 4,
    swapped = 5,
    shortRecord = 6
};

void connectionSeed(const std::string& name, std::size_t chunk,
                    const std::function<void(Script&)>& ops) {
    Script s;
    s.integer(chunk, 0, 300);
    ops(s);
    write("connection", name, s.finish());
}
Script& body(Script& s, std::uint32_t code, ByteView b) {
    if (b.size() > 512) throw std::runtime_error("connection seed body over 512 bytes");
    return s.integer(code, 0, 45).integer(b.size(), 0, 512).bytes(b);
}
void sealedOp(Script& s, std::uint32_t code, ByteView b) {
    s.integer(sealedMessage, 0, 6);
    body(s, code, b);
}

void connectionSeeds(const Session& session) {
    auto all = [&](Script& s) {
        for (const auto& [type, b] : session.bodies) sealedOp(s, rawValue(type), b);
    };
    connectionSeed("session-whole", 0, all);
    connectionSeed("session-chunk-7", 7, all);
    connectionSeed("session-chunk-1", 1, [&](Script& s) {
        for (std::size_t i = 0; i < 3; ++i)
            sealedOp(s, rawValue(session.bodies[i].first), session.bodies[i].second);
    });
    const Bytes video =
        *VideoPacket{
            true, VideoCodec::h264, 1, {Bytes{0x67, 0x42}, Bytes{0x68}}, Bytes{0, 0, 0, 1, 0x65}}
             .serialize();
    Bytes badVideo{0x01, 0, 0, 0, 0, 0, 0, 0, 1, 255, 0xFF, 0xFF, 0x00};
    connectionSeed("video-bodies", 0, [&](Script& s) {
        sealedOp(s, rawValue(MessageType::video), video);
        sealedOp(s, rawValue(MessageType::video), badVideo);
        sealedOp(s, rawValue(MessageType::video), Bytes(5, 0));
    });
    connectionSeed("replayed-record", 0, [&](Script& s) {
        sealedOp(s, rawValue(MessageType::ping), toBytes("one"));
        sealedOp(s, rawValue(MessageType::ping), toBytes("two"));
        s.integer(replay, 0, 6).integer(0, 0, 1);
        sealedOp(s, rawValue(MessageType::ping), toBytes("three"));
    });
    connectionSeed("reordered-records", 0, [&](Script& s) {
        sealedOp(s, rawValue(MessageType::ping), toBytes("one"));
        s.integer(swapped, 0, 6);
        body(s, rawValue(MessageType::clipboard), toBytes("{\"text\":\"a\"}"));
        body(s, rawValue(MessageType::ping), toBytes("b"));
    });
    for (std::size_t n : {0, 15}) {
        connectionSeed("short-record-" + std::to_string(n), 0, [&](Script& s) {
            sealedOp(s, rawValue(MessageType::ping), toBytes("one"));
            s.integer(shortRecord, 0, 6)
                .integer(rawValue(MessageType::bye), 0, 45)
                .integer(n, 0, 15)
                .bytes(Bytes(n, 0x20));
            sealedOp(s, rawValue(MessageType::ping), toBytes("two"));
        });
    }
    connectionSeed("handshake-code-after-channel", 0, [&](Script& s) {
        sealedOp(s, rawValue(MessageType::ping), toBytes("one"));
        sealedOp(s, rawValue(MessageType::secureClientHello), ByteView(session.hello).first(64));
        sealedOp(s, rawValue(MessageType::ping), toBytes("two"));
    });
    connectionSeed("unassigned-codes", 3, [&](Script& s) {
        for (std::uint32_t code : {0u, 28u, 33u, 39u, 43u, 45u}) sealedOp(s, code, toBytes("x"));
    });
    for (auto [name, length] :
         {std::pair<const char*, std::uint32_t>{"header-ffffffff", 0xFFFFFFFFu},
          {"header-cap-plus-1", maxPayloadAfterChannel + 1},
          {"header-length-0", 0}}) {
        connectionSeed(name, 0, [&, length = length](Script& s) {
            sealedOp(s, rawValue(MessageType::ping), toBytes("one"));
            s.integer(bareHeader, 0, 6)
                .integer(rawValue(MessageType::video), 0, 0xFFFFFFFF)
                .integer(length, 0, 0xFFFFFFFF);
        });
    }
    connectionSeed("garbage-after-messages", 5, [&](Script& s) {
        sealedOp(s, rawValue(MessageType::chat), session.bodies[10].second);
        s.integer(rawStream, 0, 6).integer(40, 1, 256).bytes(Bytes(40, 0xEE));
        sealedOp(s, rawValue(MessageType::ping), toBytes("lost"));
    });
}

}  // namespace

// ---- The browser server -------------------------------------------------------------------

Bytes clientFrame(std::uint8_t firstByte, std::string_view payload, bool masked = true) {
    Bytes f = {firstByte};
    const std::uint8_t mask = masked ? 0x80 : 0;
    if (payload.size() <= 125) {
        f.push_back(static_cast<std::uint8_t>(mask | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        f.push_back(mask | 126);
        appendBE16(f, static_cast<std::uint16_t>(payload.size()));
    } else {
        f.push_back(mask | 127);
        appendBE64(f, payload.size());
    }
    const std::uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
    if (masked) f.insert(f.end(), key, key + 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        f.push_back(static_cast<std::uint8_t>(payload[i]) ^ (masked ? key[i % 4] : 0));
    return f;
}

void browserSeeds() {
    const std::string upgrade =
        "GET /ws?code=abc-def-ghj-klm HTTP/1.1\r\nHost: 192.0.2.1:5896\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n";
    auto move = clientFrame(0x81, R"({"t":"move","x":0.5,"y":0.5})");
    write("http_head", "page", asBytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    Bytes withFrame = toBytes(upgrade);
    append(withFrame, move);
    write("http_head", "upgrade-then-frame", withFrame);
    write("http_head", "post", asBytes("POST /index.html HTTP/1.1\r\n\r\n"));
    write("http_head", "query-only", asBytes("GET ?a&code=%41%zz HTTP/1.1\r\nX:\t v \r\n\r\n"));
    write("http_head", "not-utf8", asBytes("GET /\xc0\xaf HTTP/1.1\r\n\r\n"));
    write("http_head", "no-end-64001", toBytes(std::string(64001, 'a')));
    write("http_head", "end-at-64000",
          toBytes("GET / HTTP/1.1\r\nX: " + std::string(64000 - 22, 'a') + "\r\n\r\n"));

    auto both = move;
    append(both, clientFrame(0x81, R"({"t":"key","code":36,"down":true,"flags":131072})"));
    write("websocket_frames", "two-text", both);
    write("websocket_frames", "ping", clientFrame(0x89, "abc"));
    write("websocket_frames", "close", clientFrame(0x88, ""));
    write("websocket_frames", "unmasked-126", clientFrame(0x82, std::string(126, 'b'), false));
    Bytes huge = {0x82, 0xff};
    appendBE64(huge, ~std::uint64_t(0));
    write("websocket_frames", "length-2-64", huge);
    write("websocket_frames", "ping-126", clientFrame(0x89, std::string(126, 'p')));
    auto fragmented = clientFrame(0x01, R"({"t":"te)");
    append(fragmented, clientFrame(0x80, R"(xt","text":"hi"})"));
    write("websocket_frames", "fragmented-text", fragmented);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_seeds DIR\n";
        return 2;
    }
    root = argv[1];
    Session session = makeSession();
    frameSeeds(session);
    jsonSeeds();
    videoSeeds();
    depacketizerSeeds();
    recordSeeds(session);
    handshakeSeeds(session);
    connectionSeeds(session);
    browserSeeds();
    std::cout << "seeds written under " << root << "\n";
    return 0;
}
