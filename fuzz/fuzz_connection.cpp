// OrvaneConnection in the server role over the in-memory transport: a genuine handshake, then
// a byte stream of the input's making (sealed messages of any code and body, raw bytes, bare
// headers) in chunks of any size, then the end of the stream. Messages go to a recording
// handler that decodes them as the host's router would.
//
// Until the first raw bytes the peer is well-behaved, so exactly the sealed messages must come
// out, in order; after a handshake code the connection must stop delivering. Any input must end
// in a cancelled or failed connection, never a hang, crash or leak.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "FuzzSupport.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/net/testing/MemoryTransportPair.h"
#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/HostAction.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/MacCommand.h"
#include "OrvaneKit/protocol/Messages.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/AccessCode.h"

using namespace orvane;

namespace {

constexpr const char* accessCode = "ABC-DEF-GHJ-KLM";

// What the viewer side sends: its hello and finish are the same for every input because the
// host's random sources start over each time; its record keys are kept to seal with.
struct Viewer {
    Bytes hello, finish, sendKey, receiveKey;
};

fuzz::ReplayRandom& hostRandom() {
    static fuzz::ReplayRandom random(toBytes("fuzz connection host"));
    return random;
}

const Viewer& viewer() {
    static const Viewer v = [] {
        fuzz::identityRandom().reset();
        hostRandom().reset();
        fuzz::ReplayRandom viewerRandom(toBytes("fuzz connection viewer"));
        const Bytes key = AccessCode::pskKey(accessCode);
        SecureHandshake client(SecureHandshake::Role::client, key, fuzz::clientIdentity(),
                               viewerRandom);
        SecureHandshake host(SecureHandshake::Role::server, key, fuzz::serverIdentity(),
                             hostRandom());
        Viewer out;
        out.hello = client.makeClientHello();
        auto result = client.handleServerHello(host.respondToClientHello(out.hello));
        out.finish = result.finish;
        out.sendKey.assign(result.channel->sendKey().begin(), result.channel->sendKey().end());
        out.receiveKey.assign(result.channel->receiveKey().begin(),
                              result.channel->receiveKey().end());
        return out;
    }();
    return v;
}

NetContext& net() {
    static NetContext context(1);
    return context;
}

Bytes frame(std::uint32_t code, ByteView payload) {
    auto h = encodeHeader(code, static_cast<std::uint32_t>(payload.size()));
    Bytes out(h.begin(), h.end());
    append(out, payload);
    return out;
}

// The host's router decodes each body as its code says; decoding must never throw.
void route(MessageType type, const Bytes& body) {
    switch (type) {
        case MessageType::hello:
            (void)decodeJSON<Hello>(body);
            break;
        case MessageType::video:
            (void)VideoPacket::parse(body);
            break;
        case MessageType::input:
            (void)decodeJSON<InputEvent>(body);
            break;
        case MessageType::clipboard:
            (void)decodeJSON<Clipboard>(body);
            break;
        case MessageType::selectDisplay:
            (void)decodeJSON<SelectDisplay>(body);
            break;
        case MessageType::bye:
            (void)decodeJSON<Bye>(body);
            break;
        case MessageType::fileOffer:
            (void)decodeJSON<FileOffer>(body);
            break;
        case MessageType::fileEnd:
            (void)decodeJSON<FileEnd>(body);
            break;
        case MessageType::chat:
            (void)decodeJSON<ChatMessage>(body);
            break;
        case MessageType::hostAction:
            (void)decodeJSON<HostAction>(body);
            break;
        case MessageType::annotation:
            (void)decodeJSON<AnnotationEvent>(body);
            break;
        case MessageType::sharerInfo:
            (void)decodeJSON<SharerInfo>(body);
            break;
        case MessageType::macCommand:
            (void)decodeJSON<MacCommand>(body);
            break;
        default:
            break;
    }
}

struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<MessageType, Bytes>> messages;
    bool ready = false, ended = false, deliveredAfterEnd = false;

    template <class P>
    bool waitFor(P done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), done);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::getenv("ORVANE_FUZZ_TRACE")) Log::setStderr(false);
    viewer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Viewer& v = viewer();
    fuzz::identityRandom().reset();
    hostRandom().reset();

    MemoryTransportPair::Options options;
    // Only the host's side reads in the input's chunks; the viewer's side is a plain sender and
    // taking its replies byte by byte would only cost time.
    const auto chunkSize = in.ConsumeIntegralInRange<std::size_t>(0, 300);
#ifdef ORVANE_FUZZ_FAST_PQ
    // The fast targets explore what follows the handshake: its bytes arrive whole, the input's
    // chunking applies from the first byte after it. The real-crypto target chunks it too.
    options.serverLink.chunkSize = 0;
#else
    options.serverLink.chunkSize = chunkSize;
#endif
    auto pair = MemoryTransportPair::make(net(), options);
    auto host = OrvaneConnection::makeServer(pair.server, accessCode,
                                             {&fuzz::serverIdentity(), &hostRandom(), &net()});
    auto recorder = std::make_shared<Recorder>();
    host->setOnStateChange([recorder](const ConnState& state) {
        std::lock_guard lock(recorder->mutex);
        if (std::holds_alternative<conn::Ready>(state)) recorder->ready = true;
        if (std::holds_alternative<conn::Cancelled>(state) ||
            std::holds_alternative<conn::Failed>(state))
            recorder->ended = true;
        recorder->changed.notify_all();
    });
    host->setOnMessage([recorder](MessageType type, Bytes body) {
        route(type, body);
        std::lock_guard lock(recorder->mutex);
        if (recorder->ended) recorder->deliveredAfterEnd = true;
        recorder->messages.emplace_back(type, std::move(body));
    });
    pair.client->start();
    host->start();

    Bytes handshake = frame(rawValue(MessageType::secureClientHello), v.hello);
    append(handshake, frame(rawValue(MessageType::secureFinish), v.finish));
    pair.client->write({std::move(handshake)});
    if (!recorder->waitFor([&] { return recorder->ready || recorder->ended; }) || !recorder->ready)
        fuzz::violated("the genuine handshake did not complete");
#ifdef ORVANE_FUZZ_FAST_PQ
    pair.serverLink->setChunkSize(chunkSize);
#endif

    SecureMessageChannel channel(v.sendKey, v.receiveKey);
    std::vector<std::pair<MessageType, Bytes>> expected;
    // `stopped`: the peer sent something the connection must fail on (a handshake code, a
    // replayed, reordered or short record); nothing after it may be delivered.
    // `wellBehaved` ends with bytes whose effect the model does not follow.
    bool wellBehaved = true, stopped = false;
    std::vector<Bytes> sent;  // framed records, for replays
    Bytes stream;
    auto sealed = [&](std::uint32_t code, const Bytes& body) {
        const MessageType type = receivedType(code);
        if (wellBehaved && !stopped) {
            if (isHandshake(type))
                stopped = true;
            else
                expected.emplace_back(type, body);
        }
        return frame(code, channel.seal(body));
    };
    auto message = [&] {
        const auto code = in.ConsumeIntegralInRange<std::uint32_t>(0, 45);
        Bytes body = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 512));
        return std::pair(code, std::move(body));
    };
    auto failsHere = [&] {
        if (wellBehaved) stopped = true;
    };
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0:
            case 1: {  // a sealed message of any code
                auto [code, body] = message();
                sent.push_back(sealed(code, body));
                append(stream, sent.back());
                break;
            }
            case 2: {  // a header announcing any length
                const auto code = in.ConsumeIntegral<std::uint32_t>();
                const auto length = in.ConsumeIntegral<std::uint32_t>();
                auto h = encodeHeader(code, length);
                append(stream, ByteView(h));
                wellBehaved = false;
                break;
            }
            case 3:  // raw bytes
                append(stream, in.ConsumeBytes<std::uint8_t>(
                                   in.ConsumeIntegralInRange<std::size_t>(1, 256)));
                wellBehaved = false;
                break;
            case 4:  // an earlier record again
                if (sent.empty()) break;
                failsHere();
                append(stream, sent[in.ConsumeIntegralInRange<std::size_t>(0, sent.size() - 1)]);
                break;
            case 5: {  // two records swapped
                auto [code1, body1] = message();
                auto [code2, body2] = message();
                failsHere();
                Bytes first = frame(code1, channel.seal(body1)),
                      second = frame(code2, channel.seal(body2));
                append(stream, second);
                append(stream, first);
                sent.push_back(std::move(first));
                sent.push_back(std::move(second));
                break;
            }
            default: {  // a record too short to hold its tag
                const auto code = in.ConsumeIntegralInRange<std::uint32_t>(0, 45);
                Bytes body =
                    in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 15));
                // A short handshake frame fails the connection just the same.
                failsHere();
                append(stream, frame(code, body));
                break;
            }
        }
    }
    // The end of the stream follows the last byte: the server link queues it behind them.
    pair.client->write({std::move(stream)},
                       [link = std::weak_ptr(pair.serverLink)](std::optional<NetError>) {
                           if (auto l = link.lock()) l->injectEof();
                       });
    if (!recorder->waitFor([&] { return recorder->ended; }))
        fuzz::violated("the connection neither ended nor failed after the end of the stream");

    {
        std::lock_guard lock(recorder->mutex);
        FUZZ_CHECK(!recorder->deliveredAfterEnd);
        const auto& got = recorder->messages;
        if (wellBehaved || stopped) {
            FUZZ_CHECK(got == expected);
        } else {
            // Whatever the garbage did, what came before it arrived intact.
            FUZZ_CHECK(got.size() >= expected.size());
            FUZZ_CHECK(std::equal(expected.begin(), expected.end(), got.begin()));
        }
    }
    host->setOnMessage({});
    host->setOnStateChange({});
    host->cancel();
    pair.client->cancel();

    // Everything must be gone before the next input: what outlives it would count as a leak,
    // and a cycle would be one.
    std::vector<std::weak_ptr<void>> parts = {host, pair.server, pair.client, pair.serverLink,
                                              pair.clientLink};
    const auto strands = {pair.server->strand(), pair.client->strand()};
    host.reset();
    pair = {};
    for (int round = 0; round < 1000; ++round) {
        if (std::all_of(parts.begin(), parts.end(), [](const auto& p) { return p.expired(); }))
            return 0;
        for (const auto& strand : strands) {
            std::promise<void> drained;
            asio::post(strand, [&] { drained.set_value(); });
            drained.get_future().wait();
        }
    }
    for (std::size_t i = 0; i < parts.size(); ++i)
        if (!parts[i].expired())
            std::fprintf(stderr, "part %zu still held (%ld)\n", i, parts[i].use_count());
    fuzz::violated("the connection or its transport outlived the input");
}
