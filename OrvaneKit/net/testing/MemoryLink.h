#pragma once

#include <deque>
#include <memory>

#include "OrvaneKit/net/ByteLink.h"

namespace orvane {

// One end of an in-memory byte pipe. Bytes written at one end arrive at the other in chunks of at
// most `chunkSize` (0: as written), each chunk a separate read. Tests can inject a read error
// (a reset) or an end of stream, and make open() fail.
class MemoryLink final : public ByteLink, public std::enable_shared_from_this<MemoryLink> {
public:
    struct Options {
        std::size_t chunkSize = 0;
        std::optional<NetError> openError;
        HostPort remote{"127.0.0.1", 50000};
        std::string interfaceName = "mem0";
    };

    static std::pair<std::shared_ptr<MemoryLink>, std::shared_ptr<MemoryLink>> makePair(
        NetContext::Strand strandA, Options a, NetContext::Strand strandB, Options b);

    void open(OpenHandler done) override;
    void readSome(ReadHandler handler) override;
    void write(Bytes data, WriteHandler done) override;
    void close(bool linger) override;
    std::optional<HostPort> remoteEndpoint() const override { return options_.remote; }
    std::string localInterfaceName() const override { return options_.interfaceName; }

    // From any thread: bytes that reach this end from now on arrive in chunks of at most `size`.
    void setChunkSize(std::size_t size);
    // From any thread: the next read at this end fails with `error` / sees the end of the stream.
    void injectReadError(NetError error);
    void injectEof();

    // Every byte this end has written, for checks of what went on the wire. Any thread.
    Bytes written() const;
    bool closed() const;

private:
    MemoryLink(NetContext::Strand strand, Options options);
    void receive(Bytes data);
    void receiveEnd(std::optional<NetError> error);
    void deliver();

    NetContext::Strand strand_;
    Options options_;
    std::weak_ptr<MemoryLink> peer_;

    // strand-only
    std::deque<Bytes> chunks_;
    bool eof_ = false;
    std::optional<NetError> error_;
    ReadHandler handler_;

    mutable std::mutex mutex_;
    Bytes written_;
    bool closed_ = false;
};

}  // namespace orvane
