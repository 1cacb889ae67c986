#include "OrvaneKit/net/TlsPskTransport.h"

#include <algorithm>
#include <asio/post.hpp>
#include <cerrno>
#include <limits>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {
// Decrypted bytes nobody has read yet; beyond this the socket is left unread so TCP pushes back.
constexpr std::size_t inboxLimit = 1 << 20;
// Writes up to this size are joined into one piece before sealing, so a frame header shares its
// payload's record; larger ones are sealed piece by piece where they lie.
constexpr std::size_t coalesceLimit = 16 * 1024;
// Sealed bytes waiting for the link; a large write is sealed no further ahead than this.
constexpr std::size_t outboxHighWater = 256 * 1024;
// TLS 1.2 AES-GCM records: at most 16 KiB of payload, plus header, explicit nonce and tag.
constexpr std::size_t tlsRecordPayload = 16 * 1024;
constexpr std::size_t tlsRecordOverhead = 5 + 8 + 16;

NetError cancelledError() {
    return posixError(ECANCELED);
}

const Logger& log() {
    static const Logger logger{"com.nimbrel.kelsap", "net"};
    return logger;
}
}  // namespace

std::shared_ptr<TlsPskTransport> TlsPskTransport::make(Strand strand,
                                                       std::shared_ptr<ByteLink> link,
                                                       std::unique_ptr<TlsPskSession> tls,
                                                       bool dialling) {
    return std::shared_ptr<TlsPskTransport>(
        new TlsPskTransport(std::move(strand), std::move(link), std::move(tls), dialling));
}

TlsPskTransport::TlsPskTransport(Strand strand, std::shared_ptr<ByteLink> link,
                                 std::unique_ptr<TlsPskSession> tls, bool dialling)
    : strand_(std::move(strand)),
      link_(std::move(link)),
      tls_(std::move(tls)),
      dialling_(dialling) {
    remote_ = link_->remoteEndpoint();
    interface_ = link_->localInterfaceName();
}

TlsPskTransport::~TlsPskTransport() {
    // Dropped without cancel: the socket must not outlive us. The link may be busy on the strand
    // right now, so it is closed there.
    if (phase_ != Phase::closed) asio::post(strand_, [link = link_] { link->close(false); });
}

template <class F>
void TlsPskTransport::onStrand(F&& f) {
    asio::post(strand_, [weak = weak_from_this(), f = std::forward<F>(f)]() mutable {
        if (auto self = weak.lock()) f(*self);
    });
}

void TlsPskTransport::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void TlsPskTransport::report(const ConnState& state) {
    StateHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = stateHandler_;
    }
    if (handler) handler(state);
}

std::optional<HostPort> TlsPskTransport::remoteEndpoint() const {
    std::lock_guard lock(mutex_);
    return remote_;
}

std::string TlsPskTransport::localInterfaceName() const {
    std::lock_guard lock(mutex_);
    return interface_;
}

void TlsPskTransport::updateEndpoints() {
    auto remote = link_->remoteEndpoint();
    auto name = link_->localInterfaceName();
    std::lock_guard lock(mutex_);
    remote_ = std::move(remote);
    interface_ = std::move(name);
}

// ---- start and handshake

void TlsPskTransport::start() {
    onStrand([](TlsPskTransport& self) { self.doStart(); });
}

void TlsPskTransport::doStart() {
    if (started_ || phase_ == Phase::closed) return;
    started_ = true;
    phase_ = Phase::opening;
    report(conn::Preparing{});
    link_->open([weak = weak_from_this()](std::optional<NetError> error) {
        if (auto self = weak.lock()) self->onOpened(std::move(error));
    });
}

void TlsPskTransport::onOpened(std::optional<NetError> error) {
    if (phase_ != Phase::opening) return;
    if (error) {
        if (!dialling_) return fail(std::move(*error));
        // The peer was never reached: nothing to flush, nothing was exchanged.
        phase_ = Phase::closed;
        terminalError_ = *error;
        link_->close(false);
        terminate(*error);
        report(conn::Waiting{std::move(*error)});
        return;
    }
    updateEndpoints();
    phase_ = Phase::handshaking;
    armLinkRead();
    if (!tls_) return becomeReady();
    tls_->start();
    drainTls();
}

void TlsPskTransport::becomeReady() {
    phase_ = Phase::ready;
    untilEstablished_.reset();
    report(conn::Ready{});
    if (phase_ != Phase::ready) return;  // the handler may have cancelled
    pumpWrites();
    deliverReads();
}

// Moves whatever the TLS session produced (handshake, records, alerts, plaintext) onward and
// acts on its state.
void TlsPskTransport::drainTls() {
    tls_->takeOutput(outbox_);
    if (tls_->plaintextSize() > 0) tls_->takePlaintext(inbox_);
    if (tls_->peerClosed()) peerEof_ = true;
    if (tls_->error()) return fail(*tls_->error());
    flushOut();
    if (phase_ == Phase::handshaking && tls_->established()) becomeReady();
}

// ---- reading

void TlsPskTransport::armLinkRead() {
    if (linkReading_ || phase_ == Phase::closed || peerEof_ || inbox_.size() >= inboxLimit) return;
    linkReading_ = true;
    link_->readSome([weak = weak_from_this()](const ReadResult& result) {
        if (auto self = weak.lock()) self->onLinkRead(result);
    });
}

void TlsPskTransport::onLinkRead(const ReadResult& result) {
    linkReading_ = false;
    if (phase_ == Phase::closed) return;
    if (result.error) return fail(*result.error);
    if (result.eof) {
        // A close before TLS is up is a probe or a port scan, never a wrong code.
        if (phase_ != Phase::ready)
            return fail(posixError(ECONNRESET, "connection closed before TLS was established"));
        peerEof_ = true;
    } else if (tls_) {
        tls_->feed(result.data);
        drainTls();
        if (phase_ == Phase::closed) return;
    } else {
        inbox_.insert(inbox_.end(), result.data.begin(), result.data.end());
    }
    deliverReads();
    armLinkRead();
}

void TlsPskTransport::read(ReadHandler handler) {
    onStrand([handler = std::move(handler)](TlsPskTransport& self) mutable {
        self.readHandler_ = std::move(handler);
        if (self.phase_ == Phase::closed) {
            auto h = std::move(self.readHandler_);
            self.readHandler_ = nullptr;
            h(ReadResult{{}, false, self.terminalError_});
            return;
        }
        self.deliverReads();
    });
}

void TlsPskTransport::deliverReads() {
    if (phase_ != Phase::ready || !readHandler_) return;
    if (inbox_.empty() && !peerEof_) return;
    ReadHandler handler = std::move(readHandler_);
    readHandler_ = nullptr;
    if (!inbox_.empty()) {
        Bytes data;
        data.swap(inbox_);
        armLinkRead();  // room again in the inbox
        handler(ReadResult{data, false, std::nullopt});
    } else {
        handler(ReadResult{{}, true, std::nullopt});
    }
}

// ---- writing

void TlsPskTransport::write(std::vector<Bytes> buffers, WriteCompletion done) {
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        incoming_.push_back({std::move(buffers), std::move(done)});
        schedule = !pumpScheduled_;
        pumpScheduled_ = true;
    }
    if (schedule) onStrand([](TlsPskTransport& self) { self.pumpWrites(); });
}

void TlsPskTransport::pumpWrites() {
    {
        std::lock_guard lock(mutex_);
        pumpScheduled_ = false;
        while (!incoming_.empty()) {
            pending_.push_back(std::move(incoming_.front()));
            incoming_.pop_front();
        }
    }
    if (phase_ == Phase::closed) {
        auto items = std::move(pending_);
        pending_.clear();
        cursor_ = {};
        for (auto& item : items)
            if (item.done) item.done(terminalError_);
        return;
    }
    if (phase_ != Phase::ready) return;  // held until ready
    fillOutbox(outboxHighWater);
    flushOut();
}

// Seals queued writes into the outbox until it holds `limit` bytes. A large write is sealed a
// slice at a time as the link drains, where it lies: its records never all exist at once. Writes
// stay whole units on the wire, as nothing else is sealed until the current one is done.
void TlsPskTransport::fillOutbox(std::size_t limit) {
    while (!pending_.empty() && outbox_.size() < limit && phase_ == Phase::ready) {
        PendingWrite& item = pending_.front();
        if (cursor_.buffer == 0 && cursor_.offset == 0) {
            std::size_t total = 0;
            for (const auto& b : item.buffers) total += b.size();
            if (total <= coalesceLimit) {
                // A header and a small payload share records.
                Bytes plain;
                plain.reserve(total);
                for (const auto& b : item.buffers) plain.insert(plain.end(), b.begin(), b.end());
                sealInto(plain);
                cursor_.buffer = item.buffers.size();
            }
        }
        while (cursor_.buffer < item.buffers.size() && outbox_.size() < limit) {
            const Bytes& b = item.buffers[cursor_.buffer];
            const std::size_t n = std::min(b.size() - cursor_.offset, TlsPskSession::sliceSize);
            sealInto(ByteView(b).subspan(cursor_.offset, n));
            cursor_.offset += n;
            if (cursor_.offset == b.size()) {
                ++cursor_.buffer;
                cursor_.offset = 0;
            }
        }
        if (tls_ && tls_->error()) return fail(*tls_->error());
        if (cursor_.buffer < item.buffers.size()) return;
        if (item.done) outboxDone_.push_back(std::move(item.done));
        pending_.pop_front();
        cursor_ = {};
    }
}

void TlsPskTransport::sealInto(ByteView plain) {
    const std::size_t records = plain.size() / tlsRecordPayload + 1;
    reserveOutbox(plain.size() + records * tlsRecordOverhead);
    if (tls_)
        tls_->write(plain, outbox_);
    else
        outbox_.insert(outbox_.end(), plain.begin(), plain.end());
}

// Grown geometrically: exact reservations would copy the outbox on every write.
void TlsPskTransport::reserveOutbox(std::size_t more) {
    const std::size_t need = outbox_.size() + more;
    if (need > outbox_.capacity()) outbox_.reserve(std::max(need, 2 * outbox_.capacity()));
}

void TlsPskTransport::flushOut() {
    if (linkWriting_ || phase_ == Phase::closed) return;
    if (outbox_.empty()) {
        // Completions of empty writes still run, in order.
        auto done = std::move(outboxDone_);
        outboxDone_.clear();
        for (auto& d : done) d(std::nullopt);
        return;
    }
    linkWriting_ = true;
    Bytes data;
    data.swap(outbox_);
    inFlightDone_ = std::move(outboxDone_);
    outboxDone_.clear();
    link_->write(std::move(data), [weak = weak_from_this()](std::optional<NetError> error) {
        auto self = weak.lock();
        if (!self) return;
        self->linkWriting_ = false;
        auto done = std::move(self->inFlightDone_);
        self->inFlightDone_.clear();
        for (auto& d : done) d(error);
        if (self->phase_ == Phase::closed) return;
        if (error) return self->fail(*error);
        self->fillOutbox(outboxHighWater);
        self->flushOut();
    });
}

// ---- ending

void TlsPskTransport::terminate(const NetError& error) {
    untilEstablished_.reset();
    linkReading_ = false;
    linkWriting_ = false;
    if (readHandler_) {
        auto h = std::move(readHandler_);
        readHandler_ = nullptr;
        h(ReadResult{{}, false, error});
    }
    std::vector<WriteCompletion> done = std::move(inFlightDone_);
    inFlightDone_.clear();
    for (auto& d : outboxDone_) done.push_back(std::move(d));
    outboxDone_.clear();
    for (auto& item : pending_)
        if (item.done) done.push_back(std::move(item.done));
    pending_.clear();
    cursor_ = {};
    for (auto& d : done)
        if (d) d(error);
    pumpWrites();  // anything queued meanwhile completes with the error too
}

void TlsPskTransport::fail(NetError error) {
    if (phase_ == Phase::closed) return;
    phase_ = Phase::closed;
    terminalError_ = error;
    {
        std::lock_guard lock(mutex_);
        log().debug("connection with {} failed: {}",
                    priv(remote_ ? remote_->host : std::string("?")), describe(error));
    }
    // A TLS alert explaining the failure goes out before the socket closes.
    if (tls_) tls_->takeOutput(outbox_);
    if (!outbox_.empty()) link_->write(std::move(outbox_), [](std::optional<NetError>) {});
    outbox_.clear();
    link_->close(true);
    report(conn::Failed{error});
    terminate(error);
}

void TlsPskTransport::cancel() {
    onStrand([](TlsPskTransport& self) { self.doCancel(); });
}

void TlsPskTransport::doCancel() {
    if (cancelled_) return;
    cancelled_ = true;
    // Everything written before the cancel still goes out (for the linger time), then the TLS
    // close.
    if (phase_ == Phase::ready) fillOutbox(std::numeric_limits<std::size_t>::max());
    if (phase_ != Phase::closed) {
        bool wasOpen = phase_ != Phase::idle;
        phase_ = Phase::closed;
        terminalError_ = cancelledError();
        if (tls_ && tls_->established() && !tls_->error()) {
            tls_->close();
            tls_->takeOutput(outbox_);
        }
        if (wasOpen && !outbox_.empty())
            link_->write(std::move(outbox_), [](std::optional<NetError>) {});
        outbox_.clear();
        link_->close(wasOpen);
        terminate(terminalError_);
    }
    report(conn::Cancelled{});
}

}  // namespace orvane
