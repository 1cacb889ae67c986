#pragma once

#include <cstdint>
#include <string>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// What the TLS layer of a session connection needs: TLS 1.2 only, one pre-shared key under one
// identity, the single suite TLS_PSK_WITH_AES_128_GCM_SHA256, no certificates, no resumption.
struct TlsPskConfig {
    static constexpr std::uint16_t tls12 = 0x0303;
    static constexpr std::uint16_t pskAes128GcmSha256 = 0x00A8;

    Bytes key;  // 32 bytes
    std::string identity = "kelsap";
    std::uint16_t cipherSuite = pskAes128GcmSha256;
    std::uint16_t minVersion = tls12;
    std::uint16_t maxVersion = tls12;
    bool sessionTickets = false;
    bool resumption = false;

    bool operator==(const TlsPskConfig&) const = default;
};

}  // namespace orvane
