// SecureHandshake in both roles. The input is a script: which step runs next, and whether the
// message it gets is the genuine one from the other end, cut, grown, re-split into other field
// counts or sizes, altered in one byte, or arbitrary bytes. Identities are fixed and every
// random source starts over per input, so a finding replays exactly. decodeFields runs on raw
// bytes too, and a forged finish (a client signing a ciphertext of any size) reaches the
// server's decapsulation.
//
// Only SecureChannelError and CryptoError may leave the handshake; two channels made from
// untouched messages must talk to each other.

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzSupport.h"
#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/security/SecureChannelError.h"
#include "OrvaneKit/security/SecureHandshake.h"

using namespace orvane;

namespace {

constexpr std::size_t maxField = SecureHandshake::maxFieldSize;

struct Fields {
    std::vector<Bytes> list;
    bool ok = false;
};

// Splits without the count check, for re-encoding altered messages.
Fields split(ByteView body) {
    Fields f;
    std::size_t at = 0;
    while (body.size() - at >= 4) {
        std::size_t n = readBE32(body.data() + at);
        at += 4;
        if (body.size() - at < n) return f;
        f.list.emplace_back(body.begin() + at, body.begin() + at + n);
        at += n;
    }
    f.ok = at == body.size();
    return f;
}

Bytes join(const std::vector<Bytes>& fields) {
    Bytes out;
    for (const auto& f : fields) {
        appendBE32(out, static_cast<std::uint32_t>(f.size()));
        append(out, f);
    }
    return out;
}

// A length near a limit or near the field's own size.
std::size_t interestingLength(FuzzedDataProvider& in, std::size_t own) {
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
        case 0:
            return own == 0 ? 0 : own - 1;
        case 1:
            return own + 1;
        case 2:
            return 0;
        case 3:
            return maxField;
        case 4:
            return maxField + 1;
        case 5:
            return in.ConsumeIntegralInRange<std::size_t>(0, 8192);
        default:
            return own == 0 ? 0 : own - in.ConsumeIntegralInRange<std::size_t>(0, own);
    }
}

// The message as the fuzz input wants it delivered; `untouched` stays true only for the
// genuine bytes.
Bytes deliver(FuzzedDataProvider& in, const Bytes& genuine, bool& untouched) {
    const int how = in.ConsumeIntegralInRange<int>(0, 7);
    if (how == 0 || (genuine.empty() && how != 1)) return genuine;
    untouched = false;
    switch (how) {
        case 1:
            return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 512));
        case 2: {  // one field resized, the rest kept
            Fields f = split(genuine);
            if (f.list.empty()) return genuine;
            auto& field = f.list[in.ConsumeIntegralInRange<std::size_t>(0, f.list.size() - 1)];
            field.resize(interestingLength(in, field.size()), 0x5A);
            return join(f.list);
        }
        case 3: {  // one byte changed anywhere (length prefixes included)
            Bytes out = genuine;
            auto at = in.ConsumeIntegralInRange<std::size_t>(0, out.size() - 1);
            out[at] = in.ConsumeIntegral<std::uint8_t>();
            return out;
        }
        case 4: {  // cut short
            Bytes out = genuine;
            out.resize(in.ConsumeIntegralInRange<std::size_t>(0, out.size() - 1));
            return out;
        }
        case 5: {  // trailing bytes
            Bytes out = genuine;
            Bytes tail =
                in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 16));
            if (tail.empty()) tail.push_back(0);
            append(out, tail);
            return out;
        }
        case 6: {  // a field dropped or repeated
            Fields f = split(genuine);
            if (f.list.empty()) return genuine;
            auto i = in.ConsumeIntegralInRange<std::size_t>(0, f.list.size() - 1);
            if (in.ConsumeBool())
                f.list.erase(f.list.begin() + i);
            else
                f.list.insert(f.list.begin() + i, f.list[i]);
            return join(f.list);
        }
        default: {  // bytes overwritten inside one field at a chosen offset
            Fields f = split(genuine);
            if (f.list.empty()) return genuine;
            auto& field = f.list[in.ConsumeIntegralInRange<std::size_t>(0, f.list.size() - 1)];
            if (field.empty()) return genuine;
            auto at = in.ConsumeIntegralInRange<std::size_t>(0, field.size() - 1);
            Bytes patch =
                in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 4));
            for (std::size_t k = 0; k < patch.size() && at + k < field.size(); ++k)
                field[at + k] = patch[k];
            return join(f.list);
        }
    }
}

// ORVANE_FUZZ_TRACE=1 prints what each step did, for checking what a seed reaches.
const bool trace = std::getenv("ORVANE_FUZZ_TRACE") != nullptr;

template <class F>
bool guarded(F&& step, const char* name = "") {
    try {
        step();
        if (trace) std::fprintf(stderr, "  %s: ok\n", name);
        return true;
    } catch (const SecureChannelError& e) {
        if (trace) std::fprintf(stderr, "  %s: %s\n", name, e.what());
    } catch (const CryptoError& e) {
        if (trace) std::fprintf(stderr, "  %s: %s\n", name, e.what());
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::identityRandom().reset();
    fuzz::ReplayRandom clientRandom(toBytes("fuzz client")), serverRandom(toBytes("fuzz server"));
    SecureHandshake client(SecureHandshake::Role::client, fuzz::accessKey(), fuzz::clientIdentity(),
                           clientRandom);
    SecureHandshake server(SecureHandshake::Role::server, fuzz::accessKey(), fuzz::serverIdentity(),
                           serverRandom);

    Bytes hello, reply, finish;
    std::shared_ptr<SecureMessageChannel> clientChannel, serverChannel;
    // Whether everything each end took in so far was the other end's genuine output.
    bool clientClean = true, serverClean = true;

    for (int steps = 0; steps < 12 && in.remaining_bytes() > 0; ++steps) {
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
            case 0:
                hello = client.makeClientHello();
                clientChannel.reset();
                clientClean = true;
                break;
            case 1: {
                bool untouched = true;
                Bytes body = deliver(in, hello, untouched);
                if (trace)
                    std::fprintf(stderr, "hello of %zu bytes%s\n", body.size(),
                                 untouched ? "" : " (altered)");
                serverClean = untouched;
                serverChannel.reset();
                if (guarded([&] { reply = server.respondToClientHello(body); }, "server hello")) {
                    FUZZ_CHECK(server.peerIdentity() && server.peerIdentity()->size() == 2592);
                }
                break;
            }
            case 2: {
                bool untouched = true;
                Bytes body = deliver(in, reply, untouched);
                if (trace)
                    std::fprintf(stderr, "reply of %zu bytes%s\n", body.size(),
                                 untouched ? "" : " (altered)");
                clientClean = clientClean && untouched;
                guarded(
                    [&] {
                        auto result = client.handleServerHello(body);
                        FUZZ_CHECK(result.channel != nullptr);
                        finish = std::move(result.finish);
                        clientChannel = std::move(result.channel);
                    },
                    "client finish");
                break;
            }
            case 3: {
                bool untouched = true;
                Bytes body = deliver(in, finish, untouched);
                if (trace)
                    std::fprintf(stderr, "finish of %zu bytes%s\n", body.size(),
                                 untouched ? "" : " (altered)");
                serverClean = serverClean && untouched;
                guarded([&] { serverChannel = server.acceptFinish(body); }, "server finish");
                break;
            }
            case 4: {  // a finish signed by the genuine client over whatever ciphertext it likes
                Fields r = split(reply);
                Fields h = split(hello);
                if (!r.ok || r.list.size() != 3 || !h.ok) break;
                Bytes ciphertext =
                    split(finish).list.empty() ? Bytes(1120, 7) : split(finish).list[0];
                ciphertext.resize(interestingLength(in, ciphertext.size()), 0x33);
                if (ciphertext.size() > maxField) break;
                Bytes transcript(SecureHandshake::transcriptLabel.begin(),
                                 SecureHandshake::transcriptLabel.end());
                append(transcript, hello);
                for (const auto& f : r.list) append(transcript, f);
                append(transcript, ciphertext);
                Bytes forged = SecureHandshake::encodeFields(
                    {ciphertext, fuzz::clientIdentity().sign(transcript)});
                serverClean = false;
                if (trace)
                    std::fprintf(stderr, "forged finish, ciphertext of %zu bytes\n",
                                 ciphertext.size());
                guarded([&] { serverChannel = server.acceptFinish(forged); }, "forged finish");
                break;
            }
            case 5: {
                Bytes raw =
                    in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 256));
                auto count = in.ConsumeIntegralInRange<std::size_t>(0, 4);
                guarded(
                    [&] {
                        auto fields = SecureHandshake::decodeFields(raw, count);
                        FUZZ_CHECK(fields.size() == count);
                        FUZZ_CHECK(SecureHandshake::encodeFields({}).empty());
                        std::size_t total = 0;
                        for (const auto& f : fields) total += 4 + f.size();
                        FUZZ_CHECK(total == raw.size());
                    },
                    "decodeFields");
                break;
            }
            default:  // every step from the wrong end is refused
                FUZZ_CHECK(!guarded([&] { client.respondToClientHello(hello); }));
                FUZZ_CHECK(!guarded([&] { client.acceptFinish(finish); }));
                FUZZ_CHECK(!guarded([&] { server.makeClientHello(); }));
                FUZZ_CHECK(!guarded([&] { server.handleServerHello(reply); }));
                break;
        }
    }

    if (clientChannel && serverChannel && clientClean && serverClean) {
        const Bytes ping = toBytes("ping");
        Bytes record = clientChannel->seal(ping);
        FUZZ_CHECK(serverChannel->open(record) == ping);
        record = serverChannel->seal(ping);
        FUZZ_CHECK(clientChannel->open(record) == ping);
    }
    return 0;
}
