#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "OrvaneKit/net/ngtcp2/PskTls.h"
#include "OrvaneKit/reach/NetworkInterface.h"

namespace orvane {
namespace {

using udp = asio::ip::udp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t cidLength = 16;
constexpr std::size_t maxDatagram = 1500;
constexpr std::size_t maxBufferedBeforeStart = 32;
constexpr int packetsPerFlush = 64;

ngtcp2_tstamp now() {
    return static_cast<ngtcp2_tstamp>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

ngtcp2_duration ns(std::chrono::milliseconds ms) {
    return static_cast<ngtcp2_duration>(ms.count()) * NGTCP2_MILLISECONDS;
}

void randomFill(std::uint8_t* dest, std::size_t len) {
    gnutls_rnd(GNUTLS_RND_RANDOM, dest, len);
}

std::string cidKey(const std::uint8_t* data, std::size_t len) {
    return std::string(reinterpret_cast<const char*>(data), len);
}

HostPort toHostPort(const udp::endpoint& ep) {
    auto addr = ep.address();
    if (addr.is_v6() && addr.to_v6().is_v4_mapped())
        addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
    return {addr.to_string(), ep.port()};
}

struct Connection;

// One UDP socket and the connections it carries, on one strand.
struct Endpoint : std::enable_shared_from_this<Endpoint> {
    Endpoint(NetContext& net, bool server, QuicSettings settings, QuicKeySource key)
        : strand(net.makeStrand("orvane.nat.listen")),
          socket(strand),
          server(server),
          settings(settings),
          key(std::move(key)) {}

    struct Closing {
        Bytes packet;  // empty: drop silently
        udp::endpoint remote;
        Clock::time_point until;
    };

    NetContext::Strand strand;
    udp::socket socket;
    const bool server;
    const QuicSettings settings;
    const QuicKeySource key;
    std::function<void(std::shared_ptr<Transport>)> onConnection;

    std::mutex mutex;  // guards the tables below
    std::map<std::string, std::weak_ptr<Connection>> routes;
    std::map<std::string, Closing> closing;
    std::size_t unstarted = 0;

    // strand-only
    udp::endpoint from;
    std::uint8_t inbuf[65536];
    std::vector<std::shared_ptr<Connection>> touched;
    bool closed = false;

    void receive();
    void onDatagram(std::size_t len);
    void drain();
    void send(const std::uint8_t* data, std::size_t len, const udp::endpoint& to) {
        asio::error_code ec;
        socket.send_to(asio::buffer(data, len), to, 0, ec);  // a lost datagram is QUIC's to repair
    }
    void route(const std::string& cid, const std::shared_ptr<Connection>& conn) {
        std::lock_guard lock(mutex);
        routes[cid] = conn;
    }
    void unroute(const std::vector<std::string>& cids) {
        std::lock_guard lock(mutex);
        for (auto& c : cids) routes.erase(c);
    }
    void linger(const std::vector<std::string>& cids, Bytes packet, udp::endpoint remote,
                std::chrono::milliseconds period) {
        std::lock_guard lock(mutex);
        auto t = Clock::now();
        std::erase_if(closing, [&](auto& kv) { return kv.second.until <= t; });
        for (auto& c : cids) {
            routes.erase(c);
            closing[c] = Closing{packet, remote, t + period};
        }
    }
    // A burst of a fast sender must not overflow the default queue; the system caps the size.
    void enlargeBuffers() {
        asio::error_code ignored;
        socket.set_option(asio::socket_base::receive_buffer_size(4 << 20), ignored);
        socket.set_option(asio::socket_base::send_buffer_size(4 << 20), ignored);
    }
    void close() {
        asio::post(strand, [self = shared_from_this()] {
            self->closed = true;
            asio::error_code ec;
            self->socket.close(ec);
        });
    }
};

struct Connection final : Transport, std::enable_shared_from_this<Connection> {
    struct Chunk {
        Bytes data;
        std::uint64_t offset;
    };
    struct Unit {
        std::uint64_t end;
        WriteCompletion done;
    };
    enum class Phase { idle, handshaking, ready, closed };

    Connection(std::shared_ptr<Endpoint> ep, udp::endpoint remote)
        : ep(std::move(ep)), remote(remote), timer(this->ep->strand) {
        tlsRef.conn.get_conn = [](ngtcp2_crypto_conn_ref* ref) {
            return static_cast<Connection*>(ref->user_data)->conn;
        };
        tlsRef.conn.user_data = this;
        tlsRef.key = this->ep->key;
        std::memcpy(&remoteSa, remote.data(), remote.size());
        remoteLen = static_cast<ngtcp2_socklen>(remote.size());
    }

    ~Connection() override {
        if (ep->server && !started) {
            // Refused before start: its retransmitted Initials must not come back as new ones.
            ep->linger(cids, {}, remote, std::chrono::seconds(10));
            std::lock_guard lock(ep->mutex);
            if (ep->unstarted) --ep->unstarted;
        } else {
            ep->unroute(cids);
        }
        if (!ep->server) ep->close();
        if (conn) ngtcp2_conn_del(conn);
    }

    // --- Transport ---
    Strand strand() const override { return ep->strand; }
    void setStateHandler(StateHandler h) override {
        std::lock_guard lock(mutex);
        stateHandler = std::move(h);
    }
    void start() override {
        asio::post(ep->strand, [self = shared_from_this()] { self->doStart(); });
    }
    void write(std::vector<Bytes> buffers, WriteCompletion done) override {
        asio::post(ep->strand, [self = shared_from_this(), buffers = std::move(buffers),
                                done = std::move(done)]() mutable {
            self->doWrite(std::move(buffers), std::move(done));
        });
    }
    void read(ReadHandler handler) override {
        asio::post(ep->strand, [self = shared_from_this(), handler = std::move(handler)]() mutable {
            self->readHandler = std::move(handler);
            self->deliverReads();
        });
    }
    void cancel() override {
        asio::post(ep->strand, [self = shared_from_this()] { self->doCancel(); });
    }
    std::optional<HostPort> remoteEndpoint() const override { return toHostPort(remote); }
    std::string localInterfaceName() const override { return {}; }

    // --- strand-only ---
    void report(const ConnState& s) {
        StateHandler h;
        {
            std::lock_guard lock(mutex);
            h = stateHandler;
        }
        if (h) h(s);
    }

    void fillPath(ngtcp2_path& path) {
        path.local.addr = reinterpret_cast<ngtcp2_sockaddr*>(&localSa);
        path.local.addrlen = localLen;
        path.remote.addr = reinterpret_cast<ngtcp2_sockaddr*>(&remoteSa);
        path.remote.addrlen = remoteLen;
        path.user_data = nullptr;
    }

    ngtcp2_callbacks callbacks() {
        ngtcp2_callbacks cb{};
        if (ep->server) {
            cb.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
        } else {
            cb.client_initial = ngtcp2_crypto_client_initial_cb;
            cb.recv_retry = ngtcp2_crypto_recv_retry_cb;
        }
        cb.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
        cb.encrypt = ngtcp2_crypto_encrypt_cb;
        cb.decrypt = ngtcp2_crypto_decrypt_cb;
        cb.hp_mask = ngtcp2_crypto_hp_mask_cb;
        cb.update_key = ngtcp2_crypto_update_key_cb;
        cb.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
        cb.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
        cb.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
        cb.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
        cb.rand = [](std::uint8_t* dest, std::size_t len, const ngtcp2_rand_ctx*) {
            randomFill(dest, len);
        };
        cb.get_new_connection_id = [](ngtcp2_conn*, ngtcp2_cid* cid, std::uint8_t* token,
                                      std::size_t len, void* user) {
            auto* self = static_cast<Connection*>(user);
            randomFill(cid->data, len);
            cid->datalen = len;
            randomFill(token, NGTCP2_STATELESS_RESET_TOKENLEN);
            self->addCid(cidKey(cid->data, len));
            return 0;
        };
        cb.handshake_completed = [](ngtcp2_conn*, void* user) {
            static_cast<Connection*>(user)->handshakeDone = true;
            return 0;
        };
        cb.recv_stream_data = [](ngtcp2_conn*, std::uint32_t flags, std::int64_t id, std::uint64_t,
                                 const std::uint8_t* data, std::size_t len, void* user, void*) {
            auto* self = static_cast<Connection*>(user);
            if (self->ep->server && self->streamId < 0) self->streamId = id;
            if (id != self->streamId) return 0;
            self->inbox.insert(self->inbox.end(), data, data + len);
            if (flags & NGTCP2_STREAM_DATA_FLAG_FIN) self->peerFin = true;
            return 0;
        };
        cb.stream_close = [](ngtcp2_conn*, std::uint32_t, std::int64_t id, std::uint64_t,
                             void* user, void*) {
            auto* self = static_cast<Connection*>(user);
            if (id == self->streamId) self->peerFin = true;
            return 0;
        };
        cb.acked_stream_data_offset = [](ngtcp2_conn*, std::int64_t, std::uint64_t offset,
                                         std::uint64_t len, void* user, void*) {
            static_cast<Connection*>(user)->acked(offset + len);
            return 0;
        };
        return cb;
    }

    void addCid(std::string cid) {
        cids.push_back(cid);
        ep->route(cid, shared_from_this());
    }

    bool setUpTls() {
        if (!tls.init(ep->server, tlsRef, clientKey)) return false;
        int rv = ep->server ? ngtcp2_crypto_gnutls_configure_server_session(tls.session())
                            : ngtcp2_crypto_gnutls_configure_client_session(tls.session());
        return rv == 0;
    }

    bool makeConn(const ngtcp2_pkt_hd* hd) {
        auto local = ep->socket.local_endpoint();
        std::memcpy(&localSa, local.data(), local.size());
        localLen = static_cast<ngtcp2_socklen>(local.size());
        ngtcp2_path path;
        fillPath(path);
        ngtcp2_settings settings;
        ngtcp2_settings_default(&settings);
        settings.initial_ts = now();
        settings.handshake_timeout = ns(ep->settings.handshakeTimeout);
        settings.max_window = 4 * ep->settings.connectionWindow;
        settings.max_stream_window = 4 * ep->settings.streamWindow;
        ngtcp2_transport_params params;
        ngtcp2_transport_params_default(&params);
        params.initial_max_stream_data_bidi_local = ep->settings.streamWindow;
        params.initial_max_stream_data_bidi_remote = ep->settings.streamWindow;
        params.initial_max_data = ep->settings.connectionWindow;
        params.initial_max_streams_bidi = ep->server ? 1 : 0;
        params.initial_max_streams_uni = 0;
        params.max_idle_timeout = ns(ep->settings.idleTimeout);
        ngtcp2_cid scid;
        scid.datalen = cidLength;
        randomFill(scid.data, cidLength);
        auto cb = callbacks();
        int rv;
        if (ep->server) {
            params.original_dcid = hd->dcid;
            rv = ngtcp2_conn_server_new(&conn, &hd->scid, &scid, &path, hd->version, &cb, &settings,
                                        &params, nullptr, this);
        } else {
            ngtcp2_cid dcid;
            dcid.datalen = 18;
            randomFill(dcid.data, dcid.datalen);
            rv = ngtcp2_conn_client_new(&conn, &dcid, &scid, &path, NGTCP2_PROTO_VER_V1, &cb,
                                        &settings, &params, nullptr, this);
        }
        if (rv != 0) return false;
        if (!setUpTls()) return false;
        ngtcp2_conn_set_tls_native_handle(conn, tls.session());
        ngtcp2_conn_set_keep_alive_timeout(conn, ns(ep->settings.keepAlive));
        addCid(cidKey(scid.data, scid.datalen));
        return true;
    }

    void doStart() {
        if (started || phase == Phase::closed) return;
        started = true;
        if (ep->server) {
            std::lock_guard lock(ep->mutex);
            if (ep->unstarted) --ep->unstarted;
        }
        report(conn::Preparing{});
        if (phase == Phase::closed) return;
        if (ep->server) {
            ngtcp2_pkt_hd hd;
            if (early.empty() || ngtcp2_accept(&hd, early[0].data(), early[0].size()) != 0 ||
                !makeConn(&hd)) {
                fail(posixError(EPROTO, "QUIC set-up failed"));
                return;
            }
            phase = Phase::handshaking;
            auto packets = std::move(early);
            early.clear();
            for (auto& p : packets) {
                if (phase == Phase::closed) return;
                ingest(p.data(), p.size(), remote);
            }
            if (phase != Phase::closed) flush();
        } else {
            if (!makeConn(nullptr)) {
                fail(posixError(EPROTO, "QUIC set-up failed"));
                return;
            }
            phase = Phase::handshaking;
            flush();
        }
    }

    void onDatagram(const std::uint8_t* data, std::size_t len, const udp::endpoint& from) {
        if (phase == Phase::closed) return;
        if (!started) {
            if (early.size() < maxBufferedBeforeStart) early.emplace_back(data, data + len);
            return;
        }
        ingest(data, len, from);
        if (phase != Phase::closed && !flushDue) {
            flushDue = true;  // once the endpoint has read what is waiting
            ep->touched.push_back(shared_from_this());
        }
    }

    void ingest(const std::uint8_t* data, std::size_t len, const udp::endpoint& from) {
        if (from != remote) return;  // no migration: the punched path is the only one
        ngtcp2_path path;
        fillPath(path);
        ngtcp2_pkt_info pi{};
        int rv = ngtcp2_conn_read_pkt(conn, &path, &pi, data, len, now());
        if (rv == 0) {
            afterEvents();
            return;
        }
        if (rv == NGTCP2_ERR_DRAINING) {
            peerClosed();
        } else if (rv == NGTCP2_ERR_CRYPTO) {
            std::uint8_t alert = ngtcp2_conn_get_tls_alert(conn);
            ngtcp2_connection_close_error cc;
            ngtcp2_connection_close_error_set_transport_error_tls_alert(&cc, alert, nullptr, 0);
            closeWith(cc);
            fail(tlsError(alert, "TLS handshake failed (alert " + std::to_string(alert) + ")"));
        } else if (rv == NGTCP2_ERR_DROP_CONN) {
            fail(posixError(ECONNABORTED, "QUIC connection dropped"));
        } else {
            ngtcp2_connection_close_error cc;
            ngtcp2_connection_close_error_set_transport_error_liberr(&cc, rv, nullptr, 0);
            closeWith(cc);
            fail(posixError(EPROTO, std::string("QUIC: ") + ngtcp2_strerror(rv)));
        }
    }

    void afterEvents() {
        if (handshakeDone && phase == Phase::handshaking) {
            phase = Phase::ready;
            if (!ep->server) {
                std::int64_t id = -1;
                if (ngtcp2_conn_open_bidi_stream(conn, &id, nullptr) == 0) streamId = id;
            }
            report(conn::Ready{});
        }
        deliverReads();
    }

    void peerClosed() {
        ngtcp2_connection_close_error cc;
        ngtcp2_conn_get_connection_close_error(conn, &cc);
        bool transport = cc.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT;
        if (transport && cc.error_code >= 0x100 && cc.error_code <= 0x1ff) {
            int alert = static_cast<int>(cc.error_code - 0x100);
            fail(tlsError(alert, "peer closed in TLS (alert " + std::to_string(alert) + ")"));
        } else if (cc.error_code == 0 && phase == Phase::ready) {
            peerFin = true;
            finish();
            deliverReads();
        } else {
            fail(posixError(phase == Phase::ready ? ECONNRESET : ECONNREFUSED,
                            "peer closed the QUIC connection"));
        }
    }

    // Writes the close packet and, on the server, keeps answering with it for a while.
    void closeWith(const ngtcp2_connection_close_error& cc) {
        if (!conn) return;
        std::uint8_t buf[maxDatagram];
        ngtcp2_path_storage ps;
        ngtcp2_path_storage_zero(&ps);
        ngtcp2_pkt_info pi{};
        auto n =
            ngtcp2_conn_write_connection_close(conn, &ps.path, &pi, buf, sizeof buf, &cc, now());
        if (n <= 0) return;
        ep->send(buf, static_cast<std::size_t>(n), remote);
        if (ep->server) {
            auto pto = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::nanoseconds(ngtcp2_conn_get_pto(conn)));
            ep->linger(cids, Bytes(buf, buf + n), remote, std::max(3 * pto, decltype(pto)(2000)));
        }
    }

    void doWrite(std::vector<Bytes> buffers, WriteCompletion done) {
        if (phase == Phase::closed) {
            if (done) done(terminalError ? *terminalError : posixError(ENOTCONN));
            return;
        }
        for (auto& b : buffers) {
            if (b.empty()) continue;
            auto size = b.size();
            chunks.push_back({std::move(b), total});
            total += size;
        }
        units.push_back({total, std::move(done)});
        if (phase == Phase::ready) flush();
    }

    void acked(std::uint64_t upTo) {
        while (!chunks.empty() && chunks.front().offset + chunks.front().data.size() <= upTo &&
               chunks.front().offset + chunks.front().data.size() <= sent)
            chunks.pop_front();
    }

    void completeSent() {
        while (!units.empty() && units.front().end <= sent) {
            auto done = std::move(units.front().done);
            units.pop_front();
            if (done) done(std::nullopt);
        }
    }

    void flush() {
        if (!conn || phase == Phase::closed) return;
        std::uint8_t buf[maxDatagram];
        bool blocked = false;
        // A packet started with more data to come must be finished before anything else
        // touches the connection, so only whole packets count towards the limit.
        for (int packets = 0;;) {
            ngtcp2_path_storage ps;
            ngtcp2_path_storage_zero(&ps);
            ngtcp2_pkt_info pi{};
            ngtcp2_vec vec{};
            std::size_t vcnt = 0;
            std::int64_t sid = -1;
            std::uint32_t flags = 0;
            if (!blocked && streamId >= 0 && phase == Phase::ready && sent < total) {
                for (auto& c : chunks) {
                    if (c.offset + c.data.size() <= sent) continue;
                    auto skip = sent - c.offset;
                    vec.base = c.data.data() + skip;
                    vec.len = c.data.size() - skip;
                    break;
                }
                vcnt = 1;
                sid = streamId;
                flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
            }
            ngtcp2_ssize taken = -1;
            auto n = ngtcp2_conn_writev_stream(conn, &ps.path, &pi, buf, sizeof buf, &taken, flags,
                                               sid, vcnt ? &vec : nullptr, vcnt, now());
            if (taken > 0) {
                sent += static_cast<std::uint64_t>(taken);
                completeSent();
            }
            if (n == NGTCP2_ERR_WRITE_MORE) continue;
            if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR ||
                n == NGTCP2_ERR_STREAM_NOT_FOUND) {
                blocked = true;
                continue;
            }
            if (n < 0) {
                ngtcp2_connection_close_error cc;
                ngtcp2_connection_close_error_set_transport_error_liberr(&cc, static_cast<int>(n),
                                                                         nullptr, 0);
                closeWith(cc);
                fail(posixError(EPROTO,
                                std::string("QUIC: ") + ngtcp2_strerror(static_cast<int>(n))));
                return;
            }
            if (n == 0) break;
            ep->send(buf, static_cast<std::size_t>(n), remote);
            if (++packets == packetsPerFlush) {
                // Let reads and other connections on the strand in before the rest.
                asio::post(ep->strand, [weak = weak_from_this()] {
                    if (auto self = weak.lock()) self->flush();
                });
                break;
            }
        }
        arm();
    }

    void arm() {
        if (!conn || phase == Phase::closed) return;
        auto expiry = ngtcp2_conn_get_expiry(conn);
        if (expiry == UINT64_MAX) {
            timer.cancel();
            return;
        }
        auto at = Clock::time_point(std::chrono::nanoseconds(expiry));
        timer.expires_at(at);
        timer.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
            if (ec) return;
            if (auto self = weak.lock()) self->onExpiry();
        });
    }

    void onExpiry() {
        if (!conn || phase == Phase::closed) return;
        int rv = ngtcp2_conn_handle_expiry(conn, now());
        if (rv == NGTCP2_ERR_IDLE_CLOSE) {
            fail(posixError(ETIMEDOUT, "QUIC connection idle"));
            return;
        }
        if (rv == NGTCP2_ERR_HANDSHAKE_TIMEOUT) {
            auto e = posixError(ETIMEDOUT, "no QUIC answer");
            if (!ep->server) {
                finish();
                terminalError = e;
                report(conn::Waiting{e});
            } else {
                fail(e);
            }
            return;
        }
        if (rv != 0) {
            fail(posixError(EPROTO, std::string("QUIC: ") + ngtcp2_strerror(rv)));
            return;
        }
        flush();
    }

    void deliverReads() {
        if (!readHandler) return;
        if (!inbox.empty()) {
            auto h = std::move(readHandler);
            readHandler = nullptr;
            Bytes data = std::move(inbox);
            inbox.clear();
            if (conn && phase != Phase::closed) {
                ngtcp2_conn_extend_max_stream_offset(conn, streamId, data.size());
                ngtcp2_conn_extend_max_offset(conn, data.size());
                asio::post(ep->strand, [weak = weak_from_this()] {
                    if (auto self = weak.lock()) self->flush();
                });
            }
            h(ReadResult{ByteView(data)});
        } else if (peerFin) {
            auto h = std::move(readHandler);
            readHandler = nullptr;
            h(ReadResult{{}, true, std::nullopt});
        } else if (terminalError) {
            auto h = std::move(readHandler);
            readHandler = nullptr;
            h(ReadResult{{}, false, terminalError});
        }
    }

    // Ends all I/O; writes still queued complete with the error.
    void finish() {
        if (phase == Phase::closed) return;
        phase = Phase::closed;
        timer.cancel();
        if (ep->server && !started)
            ep->linger(cids, {}, remote, std::chrono::seconds(10));  // refused: stay silent
        else
            ep->unroute(cids);
        if (!ep->server) ep->close();
        auto pending = std::move(units);
        units.clear();
        for (auto& u : pending)
            if (u.done) u.done(terminalError ? *terminalError : posixError(ECANCELED));
    }

    void fail(NetError e) {
        if (phase == Phase::closed) return;
        terminalError = e;
        finish();
        report(conn::Failed{e});
        deliverReads();
    }

    void doCancel() {
        if (cancelled) return;
        cancelled = true;
        if (phase != Phase::closed) {
            if (conn && phase != Phase::idle) {
                ngtcp2_connection_close_error cc;
                ngtcp2_connection_close_error_set_transport_error(&cc, NGTCP2_NO_ERROR, nullptr, 0);
                closeWith(cc);
            }
            terminalError = posixError(ECANCELED, "cancelled");
            finish();
        }
        report(conn::Cancelled{});
        deliverReads();
    }

    std::shared_ptr<Endpoint> ep;
    udp::endpoint remote;
    asio::steady_timer timer;
    sockaddr_storage remoteSa{};
    ngtcp2_socklen remoteLen = 0;
    sockaddr_storage localSa{};
    ngtcp2_socklen localLen = 0;
    PskTlsRef tlsRef;
    ngtcp2_conn* conn = nullptr;
    PskTls tls;  // freed after the destructor has deleted conn, which uses it
    Bytes clientKey;
    std::vector<std::string> cids;

    std::mutex mutex;
    StateHandler stateHandler;

    // strand-only
    Phase phase = Phase::idle;
    bool started = false;
    bool cancelled = false;
    bool handshakeDone = false;
    bool flushDue = false;
    std::vector<Bytes> early;
    std::int64_t streamId = -1;
    std::deque<Chunk> chunks;  // kept until acknowledged: the stack resends from them
    std::deque<Unit> units;
    std::uint64_t total = 0;
    std::uint64_t sent = 0;
    Bytes inbox;
    bool peerFin = false;
    std::optional<NetError> terminalError;
    ReadHandler readHandler;
};

void Endpoint::receive() {
    socket.async_receive_from(
        asio::buffer(inbuf), from,
        [self = shared_from_this()](const asio::error_code& ec, std::size_t len) {
            if (self->closed || ec == asio::error::operation_aborted) return;
            if (!ec) self->onDatagram(len);
            // Other errors (ICMP reports on some stacks) concern one datagram, not the socket.
            self->drain();
            self->receive();
        });
}

// Reads what else is waiting before answering: one reply then covers many packets.
void Endpoint::drain() {
    for (int i = 0; i < 256 && !closed; ++i) {
        sockaddr_storage sa{};
        socklen_t salen = sizeof sa;
        auto n = ::recvfrom(socket.native_handle(), inbuf, sizeof inbuf, MSG_DONTWAIT,
                            reinterpret_cast<sockaddr*>(&sa), &salen);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            continue;  // an error report about one datagram
        }
        std::memcpy(from.data(), &sa, std::min<std::size_t>(salen, sizeof sa));
        from.resize(salen);
        onDatagram(static_cast<std::size_t>(n));
    }
    auto due = std::move(touched);
    touched.clear();
    for (auto& c : due) {
        c->flushDue = false;
        c->flush();
    }
}

void Endpoint::onDatagram(std::size_t len) {
    ngtcp2_version_cid vc;
    if (ngtcp2_pkt_decode_version_cid(&vc, inbuf, len, cidLength) != 0) return;
    std::string dcid = cidKey(vc.dcid, vc.dcidlen);
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard lock(mutex);
        auto it = routes.find(dcid);
        if (it != routes.end()) {
            conn = it->second.lock();
        } else if (auto c = closing.find(dcid); c != closing.end()) {
            if (c->second.until > Clock::now()) {
                if (!c->second.packet.empty() && from == c->second.remote)
                    send(c->second.packet.data(), c->second.packet.size(), from);
                return;
            }
            closing.erase(c);
        }
    }
    if (conn) {
        conn->onDatagram(inbuf, len, from);
        return;
    }
    if (!server) return;
    ngtcp2_pkt_hd hd;
    if (ngtcp2_accept(&hd, inbuf, len) != 0) return;
    {
        std::lock_guard lock(mutex);
        if (unstarted >= QuicServerEndpoint::maxUnstarted) return;
        ++unstarted;
    }
    auto fresh = std::make_shared<Connection>(shared_from_this(), from);
    fresh->early.emplace_back(inbuf, inbuf + len);
    fresh->addCid(dcid);
    if (onConnection) onConnection(fresh);
}

std::optional<udp::endpoint> numeric(const HostPort& hp) {
    asio::error_code ec;
    std::string host = hp.host == "localhost" ? "127.0.0.1" : hp.host;
    auto addr = asio::ip::make_address(host, ec);
    if (ec) return std::nullopt;
    return udp::endpoint(addr, hp.port);
}

// A client whose socket could not be set up: reports the error at start.
struct BrokenTransport final : Transport, std::enable_shared_from_this<BrokenTransport> {
    BrokenTransport(NetContext& net, NetError e) : s(net.makeStrand()), error(std::move(e)) {}
    Strand strand() const override { return s; }
    void setStateHandler(StateHandler h) override {
        std::lock_guard lock(mutex);
        handler = std::move(h);
    }
    void start() override {
        asio::post(s, [self = shared_from_this()] { self->emit(conn::Failed{self->error}); });
    }
    void write(std::vector<Bytes>, WriteCompletion done) override {
        if (done) asio::post(s, [done, e = error] { done(e); });
    }
    void read(ReadHandler h) override {
        asio::post(s, [h, e = error] { h(ReadResult{{}, false, e}); });
    }
    void cancel() override {
        asio::post(s, [self = shared_from_this()] {
            if (!std::exchange(self->cancelled, true)) self->emit(conn::Cancelled{});
        });
    }
    std::optional<HostPort> remoteEndpoint() const override { return std::nullopt; }
    std::string localInterfaceName() const override { return {}; }
    void emit(const ConnState& st) {
        StateHandler h;
        {
            std::lock_guard lock(mutex);
            h = handler;
        }
        if (h) h(st);
    }
    Strand s;
    NetError error;
    std::mutex mutex;
    StateHandler handler;
    bool cancelled = false;
};

}  // namespace

std::shared_ptr<Transport> dialQuic(NetContext& net, HostPort remote, Bytes key,
                                    std::optional<std::uint16_t> localPort, QuicSettings settings,
                                    std::optional<std::string> interface) {
    auto to = numeric(remote);
    if (!to)
        return std::make_shared<BrokenTransport>(
            net, NetError{NetError::Kind::dns, 0, "not an address: " + remote.host});
    auto ep = std::make_shared<Endpoint>(net, false, settings, QuicKeySource{});
    asio::error_code ec;
    ep->socket.open(to->protocol(), ec);
    if (!ec && interface)
        if (auto why = bindSocketToInterface(ep->socket.native_handle(), *interface))
            return std::make_shared<BrokenTransport>(net, *why);
    // No SO_REUSEADDR here: two sockets sharing the port would split the server's packets.
    if (!ec) ep->socket.bind(udp::endpoint(to->protocol(), localPort.value_or(0)), ec);
    if (!ec) ep->enlargeBuffers();
    if (ec) return std::make_shared<BrokenTransport>(net, posixError(ec.value(), ec.message()));
    auto conn = std::make_shared<Connection>(ep, *to);
    conn->clientKey = std::move(key);
    asio::post(ep->strand, [ep] { ep->receive(); });
    return conn;
}

struct QuicServerEndpoint::Impl {
    std::shared_ptr<Endpoint> ep;
    Options options;
    std::atomic<std::uint16_t> port{0};
};

std::shared_ptr<QuicServerEndpoint> QuicServerEndpoint::make(NetContext& net, Options options) {
    auto impl = std::make_shared<Impl>();
    impl->ep = std::make_shared<Endpoint>(net, true, options.settings, options.key);
    impl->options = std::move(options);
    return std::shared_ptr<QuicServerEndpoint>(new QuicServerEndpoint(std::move(impl)));
}

QuicServerEndpoint::QuicServerEndpoint(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

QuicServerEndpoint::~QuicServerEndpoint() {
    impl_->ep->close();
}

void QuicServerEndpoint::setConnectionHandler(ConnectionHandler handler) {
    impl_->ep->onConnection = std::move(handler);
}

std::optional<NetError> QuicServerEndpoint::start() {
    auto& ep = *impl_->ep;
    asio::error_code ec;
    auto addr = asio::ip::make_address(impl_->options.bindAddress.value_or("0.0.0.0"), ec);
    if (ec) return NetError{NetError::Kind::dns, 0, "not an address"};
    udp::endpoint local(addr, impl_->options.port);
    ep.socket.open(local.protocol(), ec);
    if (!ec) ep.socket.set_option(udp::socket::reuse_address(true), ec);
    if (!ec) ep.socket.bind(local, ec);
    if (!ec) ep.enlargeBuffers();
    if (ec) {
        asio::error_code ignored;
        ep.socket.close(ignored);
        return posixError(ec.value(), ec.message());
    }
    impl_->port = ep.socket.local_endpoint(ec).port();
    asio::post(ep.strand, [e = impl_->ep] { e->receive(); });
    return std::nullopt;
}

void QuicServerEndpoint::cancel() {
    impl_->ep->close();
}

void QuicServerEndpoint::sendRaw(HostPort destination, Bytes datagram) {
    auto to = numeric(destination);
    if (!to) return;
    asio::post(impl_->ep->strand, [e = impl_->ep, to = *to, d = std::move(datagram)] {
        if (!e->closed && e->socket.is_open()) e->send(d.data(), d.size(), to);
    });
}

std::uint16_t QuicServerEndpoint::port() const {
    return impl_->port;
}

NetContext::Strand QuicServerEndpoint::strand() const {
    return impl_->ep->strand;
}

}  // namespace orvane
