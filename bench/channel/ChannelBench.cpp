// Sealed records against raw OpenSSL AES-256-GCM, measured in the same run. Every video frame
// is sealed once and opened once, so the channel should stay within 10% of the bare cipher.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneKit/security/SecureMessageChannel.h"

namespace {

using orvane::Bytes;
using orvane::ByteView;
using orvane::SecureMessageChannel;

const Bytes kKey(32, 0x42);

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

Ctx keyed(bool encrypt) {
    Ctx ctx(EVP_CIPHER_CTX_new());
    if (encrypt)
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, kKey.data(), nullptr);
    else
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, kKey.data(), nullptr);
    return ctx;
}

// The bare cipher as a careful caller would use it: one keyed context, a new nonce per record,
// output into a buffer it already has.
void rawSeal(EVP_CIPHER_CTX* ctx, std::uint64_t n, ByteView body, std::uint8_t* out) {
    const auto iv = SecureMessageChannel::nonce(n);
    int len = 0;
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data());
    EVP_EncryptUpdate(ctx, out, &len, body.data(), static_cast<int>(body.size()));
    EVP_EncryptFinal_ex(ctx, out + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out + body.size());
}

bool rawOpen(EVP_CIPHER_CTX* ctx, std::uint64_t n, ByteView record, std::uint8_t* out) {
    const auto iv = SecureMessageChannel::nonce(n);
    const int len = static_cast<int>(record.size() - 16);
    int w = 0;
    EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data());
    EVP_DecryptUpdate(ctx, out, &w, record.data(), len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16,
                        const_cast<std::uint8_t*>(record.data() + len));
    return EVP_DecryptFinal_ex(ctx, out + w, &w) == 1;
}

// Records numbered 0..count-1, opened in turn; the receiving channel is renewed at the end of
// the ring (a negligible cost next to the records it opens).
struct Ring {
    explicit Ring(std::size_t size) {
        count = size <= 4096 ? 2048 : 32;
        Bytes body(size, 0x17);
        Ctx ctx = keyed(true);
        for (std::size_t i = 0; i < count; ++i) {
            records.emplace_back(size + 16);
            rawSeal(ctx.get(), i, body, records.back().data());
        }
    }
    std::size_t count;
    std::vector<Bytes> records;
};

void setBytes(benchmark::State& state, std::size_t size) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

void RawSeal(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Bytes body(size, 0x17), out(size + 16);
    Ctx ctx = keyed(true);
    std::uint64_t n = 0;
    for (auto _ : state) {
        rawSeal(ctx.get(), n++, body, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, size);
}

void ChannelSeal(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Bytes body(size, 0x17);
    SecureMessageChannel ch(kKey, kKey);
    for (auto _ : state) {
        Bytes record = ch.seal(body);
        benchmark::DoNotOptimize(record.data());
    }
    setBytes(state, size);
}

void ChannelSealInto(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Bytes body(size, 0x17), out(size + 16);
    SecureMessageChannel ch(kKey, kKey);
    for (auto _ : state) {
        ch.sealInto(body, out);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, size);
}

void RawOpen(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Ring ring(size);
    Bytes out(size);
    Ctx ctx = keyed(false);
    std::size_t i = 0;
    for (auto _ : state) {
        if (!rawOpen(ctx.get(), i, ring.records[i], out.data()))
            state.SkipWithError("raw open failed");
        benchmark::DoNotOptimize(out.data());
        if (++i == ring.count) i = 0;
    }
    setBytes(state, size);
}

template <bool InPlace>
void ChannelOpenImpl(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Ring ring(size);
    Bytes out(size);
    auto ch = std::make_unique<SecureMessageChannel>(kKey, kKey);
    std::size_t i = 0;
    for (auto _ : state) {
        if constexpr (InPlace) {
            ch->openInto(ring.records[i], out);
            benchmark::DoNotOptimize(out.data());
        } else {
            Bytes body = ch->open(ring.records[i]);
            benchmark::DoNotOptimize(body.data());
        }
        if (++i == ring.count) {
            i = 0;
            ch = std::make_unique<SecureMessageChannel>(kKey, kKey);
        }
    }
    setBytes(state, size);
}
void ChannelOpen(benchmark::State& state) {
    ChannelOpenImpl<false>(state);
}
void ChannelOpenInto(benchmark::State& state) {
    ChannelOpenImpl<true>(state);
}

BENCHMARK(RawSeal)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(ChannelSeal)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(ChannelSealInto)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(RawOpen)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(ChannelOpen)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(ChannelOpenInto)->Arg(1024)->Arg(256 * 1024);

// On a shared machine single timings swing widely. The verdict therefore pairs the two sides:
// short batches of raw and channel records alternate, and the fastest batch of each stands
// for its undisturbed cost.
template <class Raw, class Ours>
double pairedRatio(std::size_t batch, Raw&& raw, Ours&& ours) {
    using Clock = std::chrono::steady_clock;
    auto timeBatch = [&](auto& fn) {
        const auto start = Clock::now();
        for (std::size_t k = 0; k < batch; ++k) fn();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double bestRaw = 1e9, bestOurs = 1e9;
    for (int round = 0; round < 1500; ++round) {
        if (round % 2 == 0) {
            bestRaw = std::min(bestRaw, timeBatch(raw));
            bestOurs = std::min(bestOurs, timeBatch(ours));
        } else {
            bestOurs = std::min(bestOurs, timeBatch(ours));
            bestRaw = std::min(bestRaw, timeBatch(raw));
        }
    }
    return bestRaw / bestOurs;  // throughput of ours relative to raw
}

void printRatios() {
    std::printf("\nthroughput relative to raw OpenSSL AES-256-GCM, paired (goal >= 0.90)\n");
    for (std::size_t size : {std::size_t{1024}, std::size_t{256 * 1024}}) {
        const std::size_t batch = size <= 4096 ? 32 : 1;
        Bytes body(size, 0x17), out(size + 16), plain(size);
        Ctx enc = keyed(true);
        SecureMessageChannel sealer(kKey, kKey);
        std::uint64_t n = 0;
        auto raw = [&] { rawSeal(enc.get(), n++, body, out.data()); };
        auto copying = [&] { benchmark::DoNotOptimize(sealer.seal(body).data()); };
        auto inPlace = [&] { sealer.sealInto(body, out); };

        Ring ring(size);
        Ctx dec = keyed(false);
        std::size_t ri = 0, ci = 0;
        auto ch = std::make_unique<SecureMessageChannel>(kKey, kKey);
        auto rawOpenOne = [&] {
            rawOpen(dec.get(), ri, ring.records[ri], plain.data());
            if (++ri == ring.count) ri = 0;
        };
        auto next = [&] {
            if (++ci == ring.count) {
                ci = 0;
                ch = std::make_unique<SecureMessageChannel>(kKey, kKey);
            }
        };
        auto openCopying = [&] {
            benchmark::DoNotOptimize(ch->open(ring.records[ci]).data());
            next();
        };
        auto openInPlace = [&] {
            ch->openInto(ring.records[ci], plain);
            next();
        };
        const std::pair<const char*, double> rows[] = {
            {"seal", pairedRatio(batch, raw, copying)},
            {"sealInto", pairedRatio(batch, raw, inPlace)},
            {"open", pairedRatio(batch, rawOpenOne, openCopying)},
            {"openInto", pairedRatio(batch, rawOpenOne, openInPlace)},
        };
        for (auto [name, ratio] : rows)
            std::printf("  %-9s %7zu B  %5.3f%s\n", name, size, ratio,
                        ratio >= 0.9 ? "" : "  BELOW GOAL");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    printRatios();
    benchmark::Shutdown();
    return 0;
}
