#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/net/openssl/TlsCertContext.h"
#include "Orvane_Host/browser/BrowserClient.h"
#include "Orvane_Host/browser/BrowserRequest.h"
#include "Orvane_Host/browser/BrowserVideo.h"
#include "Orvane_Host/input/InputInjector.h"
#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

// Lets any browser on the network watch and control this machine: HTTPS (plain HTTP when no
// certificate can be had) on one port, one request per connection; "/" and "/index.html" serve
// the viewer page, "/ws?code=…" with the access code becomes a WebSocket viewer that gets the
// server's own video and sends input to the server's own injector.
//
// The listener and every connection run on one strand; the fields below the lock are shared
// with the encoder's thread and the callers of the port.
class BrowserServer final : public IBrowserServer,
                            public std::enable_shared_from_this<BrowserServer> {
public:
    static constexpr std::int64_t bitrate = 8'000'000;
    // A request head (or TLS handshake) not done by then is dropped.
    static constexpr auto defaultHeadTimeout = std::chrono::seconds(30);
    // Connections that have not become viewers yet, at most; more are closed at once.
    static constexpr std::size_t maxPendingConnections = 128;
    // The same from one address, so one device cannot take every place.
    static constexpr std::size_t maxPendingPerAddress = 16;

    struct Parts {
        NetContext& net;
        ScreenInfo& screens;
        // The server's own, shared by all browser viewers and apart from the sessions' one.
        InputInjector& injector;
        BrowserVideoSource& video;
        // Runs the blocking starts and stops of the video.
        asio::any_io_executor blocking;
        // The certificate, asked at every start (it may block); null: plain HTTP.
        std::function<std::shared_ptr<TlsCertContext>()> identity;
        // The viewer page, read at every request; nothing when it cannot be read.
        std::function<std::optional<Bytes>()> page;
        std::uint16_t port = defaultPort;  // 0: any free port (tests)
        std::chrono::milliseconds headTimeout = defaultHeadTimeout;
        // Told the bound port each time listening begins (the terminal shows it); any thread.
        std::function<void(std::uint16_t)> onListening;
    };

    static std::shared_ptr<BrowserServer> make(Parts parts);
    ~BrowserServer() override;

    void start(const std::string& accessCode) override;
    void stop() override;
    bool usesTLS() const override;
    std::size_t viewerCount() const override;
    // The bound port while listening (the chosen one when asked for 0), else the configured one.
    std::uint16_t port() const override;
    void setGuard(std::weak_ptr<Guard> guard) override;

    // Waits until the strand has run everything posted so far (tests).
    void drain();

private:
    struct Pending;

    explicit BrowserServer(Parts parts);
    void doStart(const std::string& code);
    void doStop();
    void acceptNext(std::uint64_t generation);
    void accepted(asio::ip::tcp::socket socket);
    void readHead(const std::shared_ptr<Pending>& p);
    void handleRequest(const std::shared_ptr<Pending>& p);
    void sendStatus(const std::shared_ptr<Pending>& p, std::string_view status);
    void serveViewerPage(const std::shared_ptr<Pending>& p);
    void upgradeToWebSocket(const std::shared_ptr<Pending>& p, const BrowserRequest& req);
    void continueUpgrade(const std::shared_ptr<Pending>& p, const BrowserRequest& req);
    void finish(const std::shared_ptr<Pending>& p);
    void attachClient(const std::shared_ptr<Transport>& connection, const Bytes& rest);
    void viewerDisconnected(const std::shared_ptr<BrowserClient>& client);

    void ensurePipeline();
    void startPipeline(std::uint64_t generation);
    void broadcast(const VideoPacket& packet, const Bytes& bytes);
    void pipelineDidStop(std::uint64_t generation);
    void stopPipelineIfIdle(bool force);
    void stopLater(std::shared_ptr<BrowserVideoStream> stream);

    Parts parts_;
    const Logger log_{"com.nimbrel.kelsap.host", "browser"};
    NetContext::Strand strand_;

    // strand-only
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    std::uint64_t acceptorGeneration_ = 0;
    std::shared_ptr<TlsCertContext> tls_;
    bool listening_ = false;
    std::set<std::shared_ptr<Pending>> pending_;

    mutable std::mutex lock_;
    std::string normalizedCode_;
    std::vector<std::shared_ptr<BrowserClient>> clients_;
    std::shared_ptr<BrowserVideoStream> pipeline_;
    bool startingPipeline_ = false;
    std::uint64_t pipelineGeneration_ = 0;
    bool usesTLS_ = true;  // so the address reads "https" before the first start
    std::uint16_t boundPort_ = 0;
    std::weak_ptr<Guard> guard_;
};

}  // namespace orvane
