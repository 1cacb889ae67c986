#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "OrvaneKit/net/ByteLink.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/net/openssl/TlsPskSession.h"

namespace orvane {

// A Transport over any ByteLink, with TLS through a memory-BIO session, or plain bytes when no
// session is given (for in-memory tests of the layers above).
class TlsPskTransport final : public Transport,
                              public std::enable_shared_from_this<TlsPskTransport> {
public:
    // `dialling`: a link that cannot be opened reports waiting (the owner may retry) rather
    // than failed.
    static std::shared_ptr<TlsPskTransport> make(Strand strand, std::shared_ptr<ByteLink> link,
                                                 std::unique_ptr<TlsPskSession> tls, bool dialling);
    ~TlsPskTransport() override;

    Strand strand() const override { return strand_; }
    void setStateHandler(StateHandler handler) override;
    void start() override;
    void write(std::vector<Bytes> buffers, WriteCompletion done = {}) override;
    void read(ReadHandler handler) override;
    void cancel() override;
    std::optional<HostPort> remoteEndpoint() const override;
    std::string localInterfaceName() const override;

    // Kept until TLS is up or the connection ends, whichever comes first; the listener counts
    // unfinished handshakes with it. Before start().
    void holdUntilEstablished(std::shared_ptr<void> token) { untilEstablished_ = std::move(token); }

    // The TLS session, or null for plain bytes. Read it only on the strand.
    const TlsPskSession* tlsSession() const { return tls_.get(); }
    const std::shared_ptr<ByteLink>& link() const { return link_; }

private:
    enum class Phase { idle, opening, handshaking, ready, closed };
    struct PendingWrite {
        std::vector<Bytes> buffers;
        WriteCompletion done;
    };

    TlsPskTransport(Strand strand, std::shared_ptr<ByteLink> link,
                    std::unique_ptr<TlsPskSession> tls, bool dialling);

    template <class F>
    void onStrand(F&& f);
    void report(const ConnState& state);
    void doStart();
    void onOpened(std::optional<NetError> error);
    void armLinkRead();
    void onLinkRead(const ReadResult& result);
    void becomeReady();
    void drainTls();
    void pumpWrites();
    void fillOutbox(std::size_t limit);
    void sealInto(ByteView plain);
    void reserveOutbox(std::size_t more);
    void flushOut();
    void deliverReads();
    void fail(NetError error);
    void doCancel();
    void terminate(const NetError& error);
    void updateEndpoints();

    const Strand strand_;
    const std::shared_ptr<ByteLink> link_;
    const std::unique_ptr<TlsPskSession> tls_;
    const bool dialling_;

    mutable std::mutex mutex_;  // guards the fields up to `strand-only`
    StateHandler stateHandler_;
    std::deque<PendingWrite> incoming_;
    bool pumpScheduled_ = false;
    std::optional<HostPort> remote_;
    std::string interface_;

    // strand-only
    Phase phase_ = Phase::idle;
    bool started_ = false;
    bool cancelled_ = false;
    NetError terminalError_;
    std::deque<PendingWrite> pending_;
    struct Cursor {
        std::size_t buffer = 0;
        std::size_t offset = 0;
    } cursor_;  // how far the first pending write is sealed
    Bytes outbox_;
    std::vector<WriteCompletion> outboxDone_;
    std::vector<WriteCompletion> inFlightDone_;
    bool linkWriting_ = false;
    bool linkReading_ = false;
    bool peerEof_ = false;
    Bytes inbox_;
    ReadHandler readHandler_;
    std::shared_ptr<void> untilEstablished_;
};

}  // namespace orvane
