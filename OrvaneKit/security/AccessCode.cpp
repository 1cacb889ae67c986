#include "OrvaneKit/security/AccessCode.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

#include "OrvaneKit/crypto/Kdf.h"

namespace orvane {

namespace {

// An index in 0..<n from 64-bit draws, by the multiply-and-reject method (no modulo bias).
std::size_t uniformIndex(RandomSource& random, std::uint64_t n) {
    const std::uint64_t threshold = (0 - n) % n;  // 2^64 mod n
    for (;;) {
        std::uint8_t b[8];
        random.fill(b, sizeof b);
        std::uint64_t r = 0;
        for (int i = 7; i >= 0; --i)
            r = (r << 8) | b[i];  // little-endian, as the platform fills a word
        unsigned __int128 product = static_cast<unsigned __int128>(r) * n;
        if (static_cast<std::uint64_t>(product) >= threshold)
            return static_cast<std::size_t>(product >> 64);
    }
}

bool droppedCluster(const icu::UnicodeString& text, int32_t start, int32_t end) {
    if (end - start == 1 && text.charAt(start) == u'-') return true;
    return u_isUWhiteSpace(text.char32At(start));
}

}  // namespace

std::string AccessCode::generate(RandomSource& random) {
    std::string code;
    code.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
        code.push_back(alphabet[uniformIndex(random, alphabet.size())]);
    return format(code);
}

std::string AccessCode::normalize(std::string_view code) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(code.data(), static_cast<int32_t>(code.size())));
    icu::UnicodeString kept;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status) && clusters) {
        clusters->setText(text);
        int32_t start = clusters->first();
        for (int32_t end = clusters->next(); end != icu::BreakIterator::DONE;
             start = end, end = clusters->next())
            if (!droppedCluster(text, start, end)) kept.append(text, start, end - start);
    } else {
        // Without break data, code points stand in for characters.
        for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
            int32_t next = text.moveIndex32(i, 1);
            if (!droppedCluster(text, i, next)) kept.append(text, i, next - i);
        }
    }
    kept.toUpper(icu::Locale::getRoot());
    std::string out;
    kept.toUTF8String(out);
    return out;
}

std::string AccessCode::format(std::string_view code) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(normalize(code));
    // Grouping counts user-perceived characters, like normalisation does.
    icu::UnicodeString grouped;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::size_t index = 0;
    auto emit = [&](int32_t start, int32_t end) {
        if (index > 0 && index % 3 == 0) grouped.append(u'-');
        grouped.append(text, start, end - start);
        ++index;
    };
    if (U_SUCCESS(status) && clusters) {
        clusters->setText(text);
        int32_t start = clusters->first();
        for (int32_t end = clusters->next(); end != icu::BreakIterator::DONE;
             start = end, end = clusters->next())
            emit(start, end);
    } else {
        for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
            emit(i, text.moveIndex32(i, 1));
    }
    std::string out;
    grouped.toUTF8String(out);
    return out;
}

Bytes AccessCode::derivePBKDF2(ByteView password, ByteView salt, std::uint32_t rounds) {
    return pbkdf2HmacSha256(password, salt, rounds, 32);
}

Bytes AccessCode::pskKey(std::string_view code) {
    static const KeyDerivation pbkdf2 = [](ByteView password) {
        return derivePBKDF2(password, asBytes(pbkdfSalt), pbkdfRounds);
    };
    return pskKey(code, AccessKeyCache::shared(), pbkdf2);
}

Bytes AccessCode::pskKey(std::string_view code, AccessKeyCache& cache,
                         const KeyDerivation& derive) {
    std::string normalized = normalize(code);
    if (auto key = cache.cachedKey(normalized)) return *key;
    // Derived outside the cache's lock: two callers missing together both derive the same key.
    Bytes key = derive(asBytes(normalized));
    cache.store(normalized, key);
    return key;
}

TlsPskConfig AccessCode::pskTLSOptions(std::string_view code) {
    TlsPskConfig config;
    config.key = pskKey(code);
    config.identity = std::string(pskIdentity);
    return config;
}

SessionParams AccessCode::pskParameters(std::string_view code, bool allowCellular) {
    SessionParams params;
    params.tls = pskTLSOptions(code);
    params.includePeerToPeer = true;
    params.interactiveVideo = true;
    params.prohibitCellular = !allowCellular;
    return params;
}

}  // namespace orvane
