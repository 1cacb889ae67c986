#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// A byte buffer for secrets (seeds, shared secrets, keys) that is wiped when it is released.
// Copies must be explicit (`clone`) so that secrets are not duplicated by accident.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(std::size_t n) : data_(n, 0) {}
    explicit SecureBytes(ByteView b) : data_(b.begin(), b.end()) {}
    // Takes over the bytes and wipes the source.
    static SecureBytes adopt(Bytes&& b) {
        SecureBytes s{ByteView(b)};
        OPENSSL_cleanse(b.data(), b.size());
        b.clear();
        return s;
    }
    ~SecureBytes() { wipe(); }

    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;
    SecureBytes(SecureBytes&& o) noexcept : data_(std::move(o.data_)) { o.data_.clear(); }
    SecureBytes& operator=(SecureBytes&& o) noexcept {
        if (this != &o) {
            wipe();
            data_ = std::move(o.data_);
            o.data_.clear();
        }
        return *this;
    }

    SecureBytes clone() const { return SecureBytes(view()); }
    // Wipes and empties the buffer.
    void reset() {
        wipe();
        data_.clear();
    }

    std::uint8_t* data() { return data_.data(); }
    const std::uint8_t* data() const { return data_.data(); }
    std::size_t size() const { return data_.size(); }
    bool empty() const { return data_.empty(); }
    std::uint8_t& operator[](std::size_t i) { return data_[i]; }
    std::uint8_t operator[](std::size_t i) const { return data_[i]; }
    ByteView view() const { return ByteView(data_.data(), data_.size()); }
    operator ByteView() const { return view(); }
    // An ordinary (unwiped) copy, for handing to code that needs Bytes.
    Bytes copyBytes() const { return Bytes(data_.begin(), data_.end()); }

private:
    void wipe() {
        if (!data_.empty()) OPENSSL_cleanse(data_.data(), data_.size());
    }

    // Never resized in place, so no unwiped reallocation is left behind.
    std::vector<std::uint8_t> data_;
};

}  // namespace orvane
