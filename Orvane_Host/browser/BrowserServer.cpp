#include "Orvane_Host/browser/BrowserServer.h"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>

#include "OrvaneKit/net/TlsPskTransport.h"
#include "OrvaneKit/net/asio/TcpLink.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {

namespace {

// Same time whatever the position of the first difference.
bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool isTransientAcceptError(const std::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
           ec == asio::error::try_again || ec == asio::error::interrupted || ec.value() == EPROTO ||
           ec.value() == EMFILE || ec.value() == ENFILE || ec.value() == ENOBUFS ||
           ec.value() == ENOMEM;
}

}  // namespace

struct BrowserServer::Pending {
    Pending(std::shared_ptr<Transport> c, NetContext::Strand& strand)
        : connection(std::move(c)), deadline(strand) {}
    std::shared_ptr<Transport> connection;
    RequestHeadReader reader;
    asio::steady_timer deadline;
    std::string address;
    bool done = false;
};

std::shared_ptr<BrowserVideoStream> NoBrowserVideo::start(std::uint32_t, const Settings&,
                                                          EncodedHandler, StopHandler) {
    throw std::runtime_error("screen capture is not available in this build yet");
}

std::shared_ptr<BrowserServer> BrowserServer::make(Parts parts) {
    return std::shared_ptr<BrowserServer>(new BrowserServer(std::move(parts)));
}

BrowserServer::BrowserServer(Parts parts)
    : parts_(std::move(parts)), strand_(parts_.net.makeStrand("orvane.browser")) {}

BrowserServer::~BrowserServer() = default;

// ---- The port --------------------------------------------------------------------------------

void BrowserServer::start(const std::string& accessCode) {
    asio::post(strand_, [self = shared_from_this(), accessCode] { self->doStart(accessCode); });
}

void BrowserServer::stop() {
    asio::post(strand_, [self = shared_from_this()] { self->doStop(); });
}

bool BrowserServer::usesTLS() const {
    std::lock_guard lock(lock_);
    return usesTLS_;
}

std::size_t BrowserServer::viewerCount() const {
    std::lock_guard lock(lock_);
    return clients_.size();
}

std::uint16_t BrowserServer::port() const {
    std::lock_guard lock(lock_);
    return boundPort_ ? boundPort_ : parts_.port;
}

void BrowserServer::setGuard(std::weak_ptr<Guard> guard) {
    std::lock_guard lock(lock_);
    guard_ = std::move(guard);
}

void BrowserServer::drain() {
    std::promise<void> done;
    asio::post(strand_, [&done] { done.set_value(); });
    done.get_future().wait();
}

// ---- Listening -------------------------------------------------------------------------------

void BrowserServer::doStart(const std::string& code) {
    {
        std::lock_guard lock(lock_);
        normalizedCode_ = AccessCode::normalize(code);
    }
    listening_ = true;
    ++acceptorGeneration_;
    acceptor_.reset();  // closes the previous socket; SO_REUSEADDR lets the port be bound again

    tls_ = parts_.identity ? parts_.identity() : nullptr;
    {
        std::lock_guard lock(lock_);
        usesTLS_ = tls_ != nullptr;
    }
    if (!tls_) {
        log_.error("browser server falling back to plain HTTP: no certificate");
        log_.notice("the access code entered in a browser crosses the network unencrypted");
    }

    using asio::ip::tcp;
    std::error_code ec;
    acceptor_.emplace(strand_);
    tcp::endpoint endpoint(tcp::v6(), parts_.port);
    acceptor_->open(tcp::v6(), ec);
    if (!ec) acceptor_->set_option(asio::ip::v6_only(false), ec);
    if (ec) {
        // No IPv6 in this kernel: IPv4 alone.
        acceptor_.emplace(strand_);
        ec.clear();
        endpoint = tcp::endpoint(tcp::v4(), parts_.port);
        acceptor_->open(tcp::v4(), ec);
    }
    if (!ec) acceptor_->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_->bind(endpoint, ec);
    if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        log_.error("browser server could not start: {}", ec.message());
        acceptor_.reset();
        return;
    }
    std::uint16_t bound = acceptor_->local_endpoint(ec).port();
    {
        std::lock_guard lock(lock_);
        boundPort_ = bound;
    }
    log_.notice("browser server ready on port {}", bound);
    if (parts_.onListening) parts_.onListening(bound);
    acceptNext(acceptorGeneration_);
}

void BrowserServer::acceptNext(std::uint64_t generation) {
    if (!acceptor_ || generation != acceptorGeneration_) return;
    acceptor_->async_accept(
        [weak = weak_from_this(), generation](std::error_code ec, asio::ip::tcp::socket socket) {
            auto self = weak.lock();
            if (!self || generation != self->acceptorGeneration_ || !self->acceptor_) return;
            if (ec == asio::error::operation_aborted) return;
            if (ec && isTransientAcceptError(ec)) {
                // Out of descriptors or one peer's trouble: the listener stays, after a pause so a
                // full table is not spun on.
                auto pause = std::make_shared<asio::steady_timer>(self->strand_);
                pause->expires_after(std::chrono::milliseconds(100));
                pause->async_wait([weak, generation, pause](std::error_code) {
                    if (auto s = weak.lock()) s->acceptNext(generation);
                });
                return;
            }
            if (ec) {
                self->log_.error("browser server failed: {}", ec.message());
                self->acceptor_.reset();
                std::lock_guard lock(self->lock_);
                self->boundPort_ = 0;
                return;
            }
            self->accepted(std::move(socket));
            self->acceptNext(generation);
        });
}

void BrowserServer::accepted(asio::ip::tcp::socket socket) {
    std::error_code ec;
    auto peer = socket.remote_endpoint(ec);
    const std::string address = ec ? std::string() : addressText(peer.address());
    std::size_t fromAddress = 0;
    for (const auto& p : pending_) fromAddress += p->address == address;
    if (ec || pending_.size() >= maxPendingConnections || fromAddress >= maxPendingPerAddress) {
        socket.close(ec);
        return;
    }
    std::optional<NetError> error;
    auto link = TcpLink::adopt(strand_, std::move(socket), SessionParams{}, error);
    if (error) {
        link->close(false);
        return;
    }
    std::unique_ptr<TlsPskSession> session;
    try {
        if (tls_) session = std::make_unique<TlsPskSession>(tls_);
    } catch (const std::exception& e) {
        log_.error("browser connection without TLS session: {}", e.what());
        link->close(false);
        return;
    }
    auto connection = TlsPskTransport::make(strand_, link, std::move(session), false);
    auto p = std::make_shared<Pending>(connection, strand_);
    p->address = address;
    pending_.insert(p);
    p->deadline.expires_after(parts_.headTimeout);
    p->deadline.async_wait([weak = weak_from_this(), p](std::error_code ec) {
        if (ec) return;
        if (auto self = weak.lock(); self && !p->done) self->finish(p);
    });
    connection->start();
    readHead(p);
}

// ---- One request per connection ------------------------------------------------------------

void BrowserServer::readHead(const std::shared_ptr<Pending>& p) {
    p->connection->read([weak = weak_from_this(), p](const ReadResult& result) {
        auto self = weak.lock();
        if (!self || p->done) return;
        if (result.data.empty()) return self->finish(p);  // the end of its data, or an error
        switch (p->reader.feed(result.data)) {
            case RequestHeadReader::State::complete:
                return self->handleRequest(p);
            case RequestHeadReader::State::tooLarge:
                return self->finish(p);
            case RequestHeadReader::State::reading:
                return self->readHead(p);
        }
    });
}

void BrowserServer::handleRequest(const std::shared_ptr<Pending>& p) {
    auto req = parseRequestHead(p->reader.head());
    if (!req) return finish(p);
    switch (req->route()) {
        case BrowserRequest::Route::methodNotAllowed:
            return sendStatus(p, "405 Method Not Allowed");
        case BrowserRequest::Route::notFound:
            return sendStatus(p, "404 Not Found");
        case BrowserRequest::Route::page:
            return serveViewerPage(p);
        case BrowserRequest::Route::webSocket:
            return upgradeToWebSocket(p, *req);
    }
}

void BrowserServer::sendStatus(const std::shared_ptr<Pending>& p, std::string_view status) {
    p->connection->write({toBytes(statusReply(status))},
                         [weak = weak_from_this(), p](std::optional<NetError>) {
                             if (auto self = weak.lock()) self->finish(p);
                         });
}

void BrowserServer::serveViewerPage(const std::shared_ptr<Pending>& p) {
    auto page = parts_.page ? parts_.page() : std::nullopt;
    if (!page) return sendStatus(p, "500 Internal Server Error");
    Bytes head = toBytes(pageReplyHead(page->size()));
    p->connection->write({std::move(head), std::move(*page)},
                         [weak = weak_from_this(), p](std::optional<NetError>) {
                             if (auto self = weak.lock()) self->finish(p);
                         });
}

void BrowserServer::finish(const std::shared_ptr<Pending>& p) {
    p->done = true;
    p->deadline.cancel();
    pending_.erase(p);
    p->connection->cancel();
}

// ---- The upgrade -----------------------------------------------------------------------------

void BrowserServer::upgradeToWebSocket(const std::shared_ptr<Pending>& p,
                                       const BrowserRequest& req) {
    std::shared_ptr<Guard> guard;
    {
        std::lock_guard lock(lock_);
        guard = guard_.lock();
    }
    if (!guard) return continueUpgrade(p, req);
    // Asked before anything is answered, so a blocked address learns nothing about its code.
    guard->checkAddress(p->address, [weak = weak_from_this(), p, req](bool blocked) {
        auto self = weak.lock();
        if (!self) return;
        asio::post(self->strand_, [self, p, req, blocked] {
            if (p->done) return;
            if (!blocked) return self->continueUpgrade(p, req);
            self->log_.notice("browser rejected: blocked after repeated wrong codes");
            self->sendStatus(p, "403 Forbidden");
        });
    });
}

void BrowserServer::continueUpgrade(const std::shared_ptr<Pending>& p, const BrowserRequest& req) {
    const std::string offered = queryParameter("code", req.query);
    std::string code;
    std::shared_ptr<Guard> guard;
    {
        std::lock_guard lock(lock_);
        code = normalizedCode_;
        guard = guard_.lock();
    }
    if (code.empty() || !sameText(AccessCode::normalize(offered), code)) {
        log_.notice("browser rejected: wrong or missing access code");
        if (guard) guard->noteWrongCode(p->address);
        return sendStatus(p, "403 Forbidden");
    }
    const std::string* upgrade = req.header("upgrade");
    std::string lowered = upgrade ? *upgrade : std::string();
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lowered != "websocket") return sendStatus(p, "400 Bad Request");
    const std::string* key = req.header("sec-websocket-key");
    if (!key) return sendStatus(p, "400 Bad Request");

    std::string reply =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        websocket::acceptValue(*key) + "\r\n\r\n";
    p->connection->write({toBytes(reply)},
                         [weak = weak_from_this(), p](std::optional<NetError> error) {
                             auto self = weak.lock();
                             if (!self || p->done) return;
                             if (error) return self->finish(p);
                             p->done = true;
                             p->deadline.cancel();
                             self->pending_.erase(p);
                             self->attachClient(p->connection, p->reader.rest());
                         });
}

void BrowserServer::attachClient(const std::shared_ptr<Transport>& connection, const Bytes& rest) {
    // Stopped while the reply was on its way.
    if (!listening_) return connection->cancel();
    auto client = std::make_shared<BrowserClient>(connection, log_);
    std::weak_ptr<BrowserServer> weak = weak_from_this();
    client->onInput = [weak](const InputEvent& event) {
        if (auto self = weak.lock()) self->parts_.injector.inject(event);
    };
    client->onClose = [weak](const std::shared_ptr<BrowserClient>& c) {
        if (auto self = weak.lock()) self->viewerDisconnected(c);
    };
    std::size_t count;
    {
        std::lock_guard lock(lock_);
        clients_.push_back(client);
        count = clients_.size();
    }
    log_.notice("browser viewer connected ({} total)", count);
    ensurePipeline();
    client->start(rest);
}

void BrowserServer::viewerDisconnected(const std::shared_ptr<BrowserClient>& client) {
    bool removed;
    {
        std::lock_guard lock(lock_);
        auto it = std::remove(clients_.begin(), clients_.end(), client);
        removed = it != clients_.end();
        clients_.erase(it, clients_.end());
    }
    // Whatever any browser still holds: one injector serves them all.
    parts_.injector.releaseAll();
    if (removed) log_.notice("browser viewer disconnected");
    stopPipelineIfIdle(false);
}

void BrowserServer::doStop() {
    listening_ = false;
    ++acceptorGeneration_;
    acceptor_.reset();
    std::vector<std::shared_ptr<BrowserClient>> clients;
    {
        std::lock_guard lock(lock_);
        clients.swap(clients_);
        boundPort_ = 0;
    }
    for (auto& c : clients) c->close();
    stopPipelineIfIdle(true);
    // Keys and buttons the browsers held must not stay down once access is off.
    parts_.injector.releaseAll();
}

// ---- Video -----------------------------------------------------------------------------------

void BrowserServer::ensurePipeline() {
    std::uint64_t generation;
    {
        std::lock_guard lock(lock_);
        if (pipeline_ || startingPipeline_) return;
        startingPipeline_ = true;
        generation = ++pipelineGeneration_;
    }
    asio::post(parts_.blocking, [weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) self->startPipeline(generation);
    });
}

void BrowserServer::startPipeline(std::uint64_t generation) {
    auto abandon = [this] {
        std::lock_guard lock(lock_);
        startingPipeline_ = false;
    };
    auto displays = parts_.screens.shareableDisplays();
    if (!displays) {
        log_.error("browser capture failed: {}", "screen capture is not allowed");
        return abandon();
    }
    if (displays->empty()) return abandon();
    const std::uint32_t main = parts_.screens.mainDisplayID();
    std::uint32_t display = displays->front().id;
    for (const auto& d : *displays)
        if (d.id == main) display = d.id;
    // Browser input lands on the streamed screen.
    parts_.injector.setDisplay(display);

    std::weak_ptr<BrowserServer> weak = weak_from_this();
    std::shared_ptr<BrowserVideoStream> stream;
    try {
        stream = parts_.video.start(
            display, BrowserVideoSource::Settings{},
            [weak](const VideoPacket& packet, const Bytes& bytes) {
                if (auto self = weak.lock()) self->broadcast(packet, bytes);
            },
            [weak, generation](std::optional<std::string>) {
                if (auto self = weak.lock()) self->pipelineDidStop(generation);
            });
    } catch (const std::exception& e) {
        log_.error("browser capture failed: {}", e.what());
        return abandon();
    }
    if (!stream) return abandon();
    stream->requestKeyframe();
    bool idle;
    std::shared_ptr<BrowserVideoStream> replaced;
    {
        std::lock_guard lock(lock_);
        startingPipeline_ = false;
        // Every viewer left while it started: it is not kept capturing for nobody.
        idle = clients_.empty();
        if (!idle) replaced = std::exchange(pipeline_, stream);
    }
    if (replaced) replaced->stop();
    if (idle) return stream->stop();
    stream->requestKeyframe();
    stream->sendKeyframeNow();
}

void BrowserServer::broadcast(const VideoPacket& packet, const Bytes& bytes) {
    std::vector<std::shared_ptr<BrowserClient>> clients;
    {
        std::lock_guard lock(lock_);
        clients = clients_;
    }
    if (clients.empty()) return;
    bool refused = false;
    for (auto& c : clients)
        if (!c->sendVideo(packet, bytes)) refused = true;
    if (!refused) return;
    std::shared_ptr<BrowserVideoStream> stream;
    {
        std::lock_guard lock(lock_);
        stream = pipeline_;
    }
    if (stream) stream->requestKeyframe();
}

void BrowserServer::pipelineDidStop(std::uint64_t generation) {
    std::shared_ptr<BrowserVideoStream> dead;
    {
        std::lock_guard lock(lock_);
        // A late report of an earlier stream leaves the current one alone.
        if (generation == pipelineGeneration_) dead = std::exchange(pipeline_, nullptr);
    }
    if (dead) stopLater(std::move(dead));
}

void BrowserServer::stopPipelineIfIdle(bool force) {
    std::shared_ptr<BrowserVideoStream> stream;
    {
        std::lock_guard lock(lock_);
        if (!force && !clients_.empty()) return;
        stream = std::exchange(pipeline_, nullptr);
    }
    if (stream) stopLater(std::move(stream));
}

void BrowserServer::stopLater(std::shared_ptr<BrowserVideoStream> stream) {
    asio::post(parts_.blocking, [stream = std::move(stream)] { stream->stop(); });
}

}  // namespace orvane
