#include "OrvaneKit/security/Keychain.h"

namespace orvane {

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        std::size_t extra = 0;
        unsigned min = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra) return false;
        for (std::size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values past the last code point.
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += extra + 1;
    }
    return true;
}

SecretStore::ReadResult Keychain::readChecked(const std::string& account,
                                              const std::string& service,
                                              const std::optional<std::string>& accessGroup,
                                              SecretStore& store) {
    SecretStore::ReadResult r = store.read({service, account, accessGroup});
    if (r.status == KeychainStatus::success && !isValidUtf8(r.value))
        return {KeychainStatus::notFound, {}};
    return r;
}

std::optional<std::string> Keychain::read(const std::string& account, const std::string& service,
                                          const std::optional<std::string>& accessGroup,
                                          SecretStore& store) {
    SecretStore::ReadResult r = readChecked(account, service, accessGroup, store);
    if (r.status != KeychainStatus::success) return std::nullopt;
    return std::move(r.value);
}

void Keychain::remove(const std::string& account, const std::string& service,
                      const std::optional<std::string>& accessGroup, SecretStore& store) {
    store.remove({service, account, accessGroup});
}

KeychainStatus Keychain::add(const std::string& value, const std::string& account,
                             const std::string& service, bool synchronizable,
                             const std::optional<std::string>& accessGroup, SecretStore& store) {
    if (!isValidUtf8(value)) return KeychainStatus::refused;
    return store.add({service, account, accessGroup}, value, synchronizable);
}

bool Keychain::set(const std::string& value, const std::string& account, const std::string& service,
                   bool synchronizable, const std::optional<std::string>& accessGroup,
                   SecretStore& store) {
    if (!isValidUtf8(value)) return false;
    const KeychainItemId id{service, account, accessGroup};
    if (synchronizable && store.replace(id, value, true) == KeychainStatus::success) return true;
    return store.replace(id, value, false) == KeychainStatus::success;
}

}  // namespace orvane
