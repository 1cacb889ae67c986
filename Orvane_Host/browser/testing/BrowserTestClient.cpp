#include "Orvane_Host/browser/testing/BrowserTestClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "OrvaneKit/base/Base64.h"

namespace orvane {

namespace {

bool waitReadable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

BrowserTestClient::BrowserTestClient(std::uint16_t port, bool tls, ms timeout) : tls_(tls) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!tls) return;
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd_);
    timeval tv{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_connect(ssl) == 1)
        ssl_ = ssl;
    else
        SSL_free(ssl);
    ERR_clear_error();
}

BrowserTestClient::~BrowserTestClient() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
}

bool BrowserTestClient::send(std::string_view bytes) {
    if (!connected()) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = ssl_ ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                      : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void BrowserTestClient::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::size_t BrowserTestClient::readSome(std::uint8_t* out, std::size_t n, ms timeout) {
    if (!pending_.empty()) {
        std::size_t k = std::min(n, pending_.size());
        std::memcpy(out, pending_.data(), k);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(k));
        return k;
    }
    if (!connected() || closed_) return 0;
    if (!(ssl_ && SSL_pending(ssl_) > 0) && !waitReadable(fd_, timeout)) return 0;
    long got = ssl_ ? SSL_read(ssl_, out, static_cast<int>(n)) : ::recv(fd_, out, n, 0);
    if (got <= 0) {
        closed_ = true;
        ERR_clear_error();
        return 0;
    }
    return static_cast<std::size_t>(got);
}

bool BrowserTestClient::readExactly(std::uint8_t* out, std::size_t n, ms timeout) {
    std::size_t done = 0;
    while (done < n) {
        std::size_t k = readSome(out + done, n - done, timeout);
        if (k == 0) return false;
        done += k;
    }
    return true;
}

std::string BrowserTestClient::readToClose(ms timeout) {
    std::string out;
    std::uint8_t buf[65536];
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now());
        std::size_t k = readSome(buf, sizeof buf, std::max(left, ms(1)));
        if (k == 0) break;
        out.append(reinterpret_cast<char*>(buf), k);
    }
    return out;
}

std::string BrowserTestClient::request(std::uint16_t port, bool tls, std::string_view head) {
    BrowserTestClient c(port, tls);
    if (!c.send(head)) return "<not connected>";
    return c.readToClose();
}

bool BrowserTestClient::upgrade(const std::string& codeQuery, std::string* replyHead) {
    std::string req = "GET /ws?" + codeQuery +
                      " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: "
                      "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n";
    if (!send(req)) return false;
    std::string head;
    std::uint8_t buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        std::size_t k = readSome(buf, sizeof buf, ms(5000));
        if (k == 0) break;
        head.append(reinterpret_cast<char*>(buf), k);
    }
    auto end = head.find("\r\n\r\n");
    if (end != std::string::npos) {
        pending_.assign(head.begin() + static_cast<std::ptrdiff_t>(end + 4), head.end());
        head.resize(end + 4);
    }
    if (replyHead) *replyHead = head;
    return head.rfind("HTTP/1.1 101 ", 0) == 0;
}

bool BrowserTestClient::sendFrame(std::uint8_t opcode, std::string_view payload) {
    std::string f;
    f.push_back(static_cast<char>(0x80 | opcode));
    if (payload.size() <= 125) {
        f.push_back(static_cast<char>(0x80 | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(payload.size() >> 8));
        f.push_back(static_cast<char>(payload.size() & 0xFF));
    } else {
        f.push_back(static_cast<char>(0x80 | 127));
        for (int s = 56; s >= 0; s -= 8) f.push_back(static_cast<char>(payload.size() >> s));
    }
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    f.append(key, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) f.push_back(payload[i] ^ key[i % 4]);
    return send(f);
}

std::optional<BrowserTestClient::Frame> BrowserTestClient::readFrame(ms timeout) {
    std::uint8_t h[2];
    if (!readExactly(h, 2, timeout)) return std::nullopt;
    Frame f;
    f.firstByte = h[0];
    f.opcode = h[0] & 0x0F;
    f.masked = (h[1] & 0x80) != 0;
    std::uint64_t n = h[1] & 0x7F;
    if (n == 126) {
        std::uint8_t l[2];
        if (!readExactly(l, 2, timeout)) return std::nullopt;
        n = (std::uint64_t(l[0]) << 8) | l[1];
    } else if (n == 127) {
        std::uint8_t l[8];
        if (!readExactly(l, 8, timeout)) return std::nullopt;
        n = 0;
        for (auto b : l) n = (n << 8) | b;
    }
    f.payload.resize(static_cast<std::size_t>(n));
    if (n && !readExactly(f.payload.data(), f.payload.size(), timeout)) return std::nullopt;
    return f;
}

}  // namespace orvane
