// The pairing link reader, fed any text a person may paste or a camera may read. A link it
// accepts, written again, reads back the same; the code the same once normalised, as grouping a
// code that holds hyphens joined to combining marks may group it differently the second time.

#include <string_view>

#include "FuzzSupport.h"
#include "OrvaneKit/reach/Pairing.h"
#include "OrvaneKit/security/AccessCode.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto info = PairingInfo::parse(text);
    if (!info) return 0;
    FUZZ_CHECK(!info->name.empty());
    FUZZ_CHECK(info->ipv6.size() <= 3);
    auto again = PairingInfo::parse(info->url());
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(AccessCode::normalize(again->code) == AccessCode::normalize(info->code));
    again->code = info->code;
    FUZZ_CHECK(*again == *info);
    (void)info->reach();
    (void)info->routes();
    return 0;
}
