#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

// A transport whose writes complete only when the test says so and whose reads are fed by the
// test; everything runs on the caller's thread.
class HeldTransport final : public Transport {
public:
    explicit HeldTransport(NetContext& net) : strand_(net.makeStrand()) {}

    Strand strand() const override { return strand_; }
    void setStateHandler(StateHandler) override {}
    void start() override {}
    void write(std::vector<Bytes> buffers, WriteCompletion done = {}) override {
        std::lock_guard lock(mutex_);
        Bytes all;
        for (auto& b : buffers) all.insert(all.end(), b.begin(), b.end());
        writes.push_back(std::move(all));
        held_.push_back(std::move(done));
    }
    void read(ReadHandler handler) override { reader_ = std::move(handler); }
    void cancel() override { ++cancels; }
    std::optional<HostPort> remoteEndpoint() const override { return HostPort{"127.0.0.1", 1}; }
    std::string localInterfaceName() const override { return "lo"; }

    // Completes the oldest write still held.
    void completeOne(std::optional<NetError> error = std::nullopt) {
        WriteCompletion done;
        {
            std::lock_guard lock(mutex_);
            done = std::move(held_.front());
            held_.pop_front();
        }
        if (done) done(error);
    }
    std::size_t heldWrites() const {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    // Delivers to the armed read; false when none is armed.
    bool deliver(ByteView data, bool eof = false) {
        if (!reader_) return false;
        auto r = std::move(reader_);
        reader_ = nullptr;
        r(ReadResult{data, eof, std::nullopt});
        return true;
    }
    bool reading() const { return static_cast<bool>(reader_); }

    std::vector<Bytes> writes;
    int cancels = 0;

private:
    Strand strand_;
    mutable std::mutex mutex_;
    std::deque<WriteCompletion> held_;
    ReadHandler reader_;
};

}  // namespace orvane
