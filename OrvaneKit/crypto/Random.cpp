#include "OrvaneKit/crypto/Random.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdlib>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

class SystemRandom final : public RandomSource {
public:
    void fill(std::uint8_t* out, std::size_t n) override {
        while (n > 0) {
            const int chunk = n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
            if (RAND_bytes(out, chunk) != 1) {
                const unsigned long code = ERR_get_error();
                char text[256] = {0};
                ERR_error_string_n(code, text, sizeof(text));
                Logger log{"crypto", "random"};
                log.fault("system random source failed: {}", text);
                std::abort();
            }
            out += chunk;
            n -= static_cast<std::size_t>(chunk);
        }
    }
};

}  // namespace

RandomSource& systemRandom() {
    static SystemRandom instance;
    return instance;
}

Bytes randomBytes(std::size_t n, RandomSource& src) {
    Bytes out(n);
    if (n > 0) src.fill(out.data(), n);
    return out;
}

}  // namespace orvane
