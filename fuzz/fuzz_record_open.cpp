// SecureMessageChannel::open on arbitrary records mixed with genuine ones that are replayed,
// reordered, altered and cut short, checked against a model of the record numbers: a record
// under 16 bytes leaves the number alone, any other one uses it up, and only the genuine record
// of the current number opens.

#include <fuzzer/FuzzedDataProvider.h>

#include <limits>
#include <map>

#include "FuzzSupport.h"
#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/security/SecureChannelError.h"
#include "OrvaneKit/security/SecureMessageChannel.h"

using namespace orvane;

namespace {

constexpr std::uint64_t lastNumber = std::numeric_limits<std::uint64_t>::max();

struct Sealed {
    Bytes body;
    Bytes record;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    static const Bytes keyA(32, 0x11), keyB(32, 0x22);
    // Near the end of the number space every few inputs.
    const std::uint64_t first = in.ConsumeBool() ? lastNumber - 3 : 0;
    SecureMessageChannel sender(keyA, keyB, first, first);
    SecureMessageChannel receiver(keyB, keyA, first, first);

    std::uint64_t sendNext = first, receiveNext = first;
    std::map<std::uint64_t, Sealed> sealed;  // by record number
    std::vector<std::uint64_t> numbers;

    auto pick = [&]() -> std::optional<std::uint64_t> {
        if (numbers.empty()) return std::nullopt;
        return numbers[in.ConsumeIntegralInRange<std::size_t>(0, numbers.size() - 1)];
    };

    while (in.remaining_bytes() > 0) {
        Bytes candidate;
        bool inPlace = false;
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: {
                Bytes body =
                    in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
                try {
                    Bytes record = sender.seal(body);
                    FUZZ_CHECK(sendNext != lastNumber);
                    FUZZ_CHECK(record.size() == body.size() + SecureMessageChannel::tagSize);
                    sealed[sendNext] = {std::move(body), std::move(record)};
                    numbers.push_back(sendNext++);
                } catch (const CryptoError&) {
                    FUZZ_CHECK(sendNext == lastNumber);
                }
                continue;
            }
            case 1:
            case 5:
                if (auto n = pick()) candidate = sealed[*n].record;
                inPlace = numbers.size() % 2 == 0;
                break;
            case 2:
                if (auto n = pick()) {
                    candidate = sealed[*n].record;
                    auto bit = in.ConsumeIntegralInRange<std::size_t>(0, candidate.size() * 8 - 1);
                    candidate[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
                }
                break;
            case 3:
                if (auto n = pick()) {
                    candidate = sealed[*n].record;
                    candidate.resize(in.ConsumeIntegralInRange<std::size_t>(0, candidate.size()));
                }
                break;
            case 4:
                candidate =
                    in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 80));
                break;
        }

        // What the model expects.
        std::optional<std::uint64_t> number;
        if (candidate.size() >= SecureMessageChannel::tagSize && receiveNext != lastNumber)
            number = receiveNext++;
        const Sealed* genuine = nullptr;
        if (number) {
            auto it = sealed.find(*number);
            if (it != sealed.end() && it->second.record == candidate) genuine = &it->second;
        }

        try {
            Bytes opened;
            if (inPlace) {
                Bytes buffer = candidate;
                auto n = receiver.openInto(buffer, buffer);
                buffer.resize(n);
                opened = std::move(buffer);
            } else {
                opened = receiver.open(candidate);
            }
            FUZZ_CHECK(number.has_value());
            // Forging a tag is out of reach; anything that opens is the genuine record.
            FUZZ_CHECK(genuine != nullptr);
            FUZZ_CHECK(opened == genuine->body);
        } catch (const SecureChannelError& e) {
            FUZZ_CHECK(e.kind() == SecureChannelError::Kind::tampered);
            FUZZ_CHECK(genuine == nullptr);
        }
    }
    return 0;
}
