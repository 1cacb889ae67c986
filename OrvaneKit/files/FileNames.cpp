#include "OrvaneKit/files/FileNames.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "OrvaneKit/files/FileTransferError.h"

namespace orvane::FileNames {

namespace {

constexpr char32_t invalid = 0xFFFFFFFF;

struct CodePoint {
    char32_t value;
    std::string_view bytes;
};

// Broken sequences come out one byte at a time as `invalid`.
std::vector<CodePoint> decode(std::string_view s) {
    std::vector<CodePoint> out;
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80         ? 1
                          : (b >> 5) == 6  ? 2
                          : (b >> 4) == 14 ? 3
                          : (b >> 3) == 30 ? 4
                                           : 0;
        char32_t v = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= s.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            auto c = static_cast<unsigned char>(s[i + k]);
            ok = (c & 0xC0) == 0x80;
            v = (v << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are broken too.
        static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (v < least[len] || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF)) ok = false;
        if (!ok) {
            out.push_back({invalid, s.substr(i, 1)});
            ++i;
        } else {
            out.push_back({v, s.substr(i, len)});
            i += len;
        }
    }
    return out;
}

bool isTrimmed(char32_t c) {
    if (c == '.' || c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0) return true;
    return c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Characters that have no place in a file name: controls, and marks that reorder what follows
// (a name could then show a false extension).
bool isUnsafe(char32_t c) {
    return c == invalid || c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string cutToBytes(std::string s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    s.resize(end);
    return s;
}

// The extension is what follows the last dot, when that dot neither starts nor ends the name.
std::pair<std::string, std::string> splitExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {name, ""};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

// `stem` + `tail` + "." + `ext`, the stem cut so that the whole fits; an extension too long to
// leave room for a stem is dropped.
std::string fit(const std::string& stem, const std::string& tail, const std::string& ext) {
    std::string dotExt = ext.empty() ? "" : "." + ext;
    if (tail.size() + dotExt.size() + 16 > maxBytes) {
        return cutToBytes(stem + tail + dotExt, maxBytes);
    }
    return cutToBytes(stem, maxBytes - tail.size() - dotExt.size()) + tail + dotExt;
}

}  // namespace

std::string safe(std::string_view offered) {
    std::string_view name = offered;
    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    if (name != "/")
        if (auto slash = name.rfind('/'); slash != std::string_view::npos)
            name = name.substr(slash + 1);

    auto points = decode(name);
    for (auto& p : points)
        if (p.value == '/' || p.value == ':') p = {'-', "-"};
    std::size_t first = 0, last = points.size();
    while (first < last && isTrimmed(points[first].value)) ++first;
    while (last > first && isTrimmed(points[last - 1].value)) --last;

    std::string out;
    for (std::size_t i = first; i < last; ++i)
        out += isUnsafe(points[i].value) ? std::string_view("-") : points[i].bytes;
    if (out.empty()) return "File";
    if (out.size() <= maxBytes) return out;
    auto [stem, ext] = splitExtension(out);
    return fit(stem, "", ext);
}

std::string numbered(const std::string& name, int n) {
    if (n <= 1) return name;
    auto [stem, ext] = splitExtension(name);
    return fit(stem, " " + std::to_string(n), ext);
}

std::filesystem::path moveToFreeName(const std::filesystem::path& from,
                                     const std::filesystem::path& folder, const std::string& name) {
    // rename() would replace a file that got there first: another client's file of the same
    // name, finishing at the same moment, would be lost.
    for (int n = 1; n < 10000; ++n) {
        auto to = folder / numbered(name, n);
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return to;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS)
            throw FileTransferError(FileError::system(errno, "Could not save " + name), {});
        // A file system without the no-replace flag: a hard link fails the same way.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return to;
        }
        if (errno == EEXIST) continue;
        if (errno != EPERM && errno != ENOTSUP)
            throw FileTransferError(FileError::system(errno, "Could not save " + name), {});
        // Nor links: claim the name with an empty file, then move over our own claim.
        int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) throw FileTransferError(FileError::system(errno, "Could not save " + name), {});
        ::close(fd);
        if (::rename(from.c_str(), to.c_str()) != 0) {
            int error = errno;
            ::unlink(to.c_str());
            throw FileTransferError(FileError::system(error, "Could not save " + name), {});
        }
        return to;
    }
    throw FileTransferError(FileError::system(EEXIST, "Could not save " + name), {});
}

}  // namespace orvane::FileNames
