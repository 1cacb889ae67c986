#include "OrvaneKit/net/testing/MemoryLink.h"

#include <asio/post.hpp>

namespace orvane {

std::pair<std::shared_ptr<MemoryLink>, std::shared_ptr<MemoryLink>> MemoryLink::makePair(
    NetContext::Strand strandA, Options a, NetContext::Strand strandB, Options b) {
    std::shared_ptr<MemoryLink> first(new MemoryLink(std::move(strandA), std::move(a)));
    std::shared_ptr<MemoryLink> second(new MemoryLink(std::move(strandB), std::move(b)));
    first->peer_ = second;
    second->peer_ = first;
    return {first, second};
}

MemoryLink::MemoryLink(NetContext::Strand strand, Options options)
    : strand_(std::move(strand)), options_(std::move(options)) {}

void MemoryLink::open(OpenHandler done) {
    asio::post(strand_, [done = std::move(done), error = options_.openError] { done(error); });
}

void MemoryLink::readSome(ReadHandler handler) {
    handler_ = std::move(handler);
    // Posted, so that a long run of small chunks does not recurse through the reader.
    asio::post(strand_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deliver();
    });
}

void MemoryLink::write(Bytes data, WriteHandler done) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        written_.insert(written_.end(), data.begin(), data.end());
    }
    if (auto peer = peer_.lock())
        asio::post(peer->strand_,
                   [peer, data = std::move(data)]() mutable { peer->receive(std::move(data)); });
    asio::post(strand_, [weak = weak_from_this(), done = std::move(done)] {
        auto self = weak.lock();
        if (self && !self->closed()) done(std::nullopt);
    });
}

void MemoryLink::close(bool) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
    }
    handler_ = nullptr;
    // The other end sees the stream end, as after a FIN.
    if (auto peer = peer_.lock())
        asio::post(peer->strand_, [peer] { peer->receiveEnd(std::nullopt); });
}

bool MemoryLink::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

Bytes MemoryLink::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

void MemoryLink::setChunkSize(std::size_t size) {
    asio::post(strand_, [self = shared_from_this(), size] { self->options_.chunkSize = size; });
}

void MemoryLink::injectReadError(NetError error) {
    asio::post(strand_,
               [self = shared_from_this(), error = std::move(error)] { self->receiveEnd(error); });
}

void MemoryLink::injectEof() {
    asio::post(strand_, [self = shared_from_this()] { self->receiveEnd(std::nullopt); });
}

void MemoryLink::receive(Bytes data) {
    if (closed() || eof_ || error_) return;
    std::size_t step = options_.chunkSize ? options_.chunkSize : data.size();
    for (std::size_t at = 0; at < data.size(); at += step) {
        std::size_t n = std::min(step, data.size() - at);
        chunks_.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                             data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    deliver();
}

void MemoryLink::receiveEnd(std::optional<NetError> error) {
    if (error)
        error_ = std::move(error);
    else
        eof_ = true;
    deliver();
}

void MemoryLink::deliver() {
    if (!handler_ || closed()) return;
    ReadHandler handler = std::move(handler_);
    handler_ = nullptr;
    if (!chunks_.empty()) {
        Bytes chunk = std::move(chunks_.front());
        chunks_.pop_front();
        handler(ReadResult{chunk, false, std::nullopt});
    } else if (error_) {
        handler(ReadResult{{}, false, error_});
    } else if (eof_) {
        handler(ReadResult{{}, true, std::nullopt});
    } else {
        handler_ = std::move(handler);
    }
}

}  // namespace orvane
