// The STUN answer reader: every length in it comes from the network. Whatever it returns must be
// an address in text form.

#include <arpa/inet.h>

#include "FuzzSupport.h"
#include "OrvaneKit/reach/STUN.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte picks the identifier's length, so the XOR of IPv6 sees short ones too.
    if (size == 0) return 0;
    std::size_t idLength = std::min<std::size_t>(data[0] % 16, size - 1);
    ByteView id(data + 1, idLength);
    ByteView message(data + 1 + idLength, size - 1 - idLength);
    auto found = STUN::parseResponse(message, id);
    if (!found) return 0;
    in6_addr a6{};
    in_addr a4{};
    FUZZ_CHECK(inet_pton(AF_INET, found->host.c_str(), &a4) == 1 ||
               inet_pton(AF_INET6, found->host.c_str(), &a6) == 1);
    FUZZ_CHECK(message.size() >= 32);  // a header, an attribute header and an IPv4 value
    return 0;
}
