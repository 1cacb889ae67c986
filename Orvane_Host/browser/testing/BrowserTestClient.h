#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace orvane {

// A blocking HTTP and WebSocket client for tests of the browser server, over plain TCP or TLS
// (any certificate accepted), on the loopback interface.
class BrowserTestClient {
public:
    using ms = std::chrono::milliseconds;

    // Connects (and with `tls` shakes hands); check connected().
    BrowserTestClient(std::uint16_t port, bool tls, ms timeout = ms(5000));
    ~BrowserTestClient();
    BrowserTestClient(const BrowserTestClient&) = delete;
    BrowserTestClient& operator=(const BrowserTestClient&) = delete;

    bool connected() const { return fd_ >= 0 && (!tls_ || ssl_); }
    bool send(std::string_view bytes);
    // Ends what this side sends (the server sees the end of its data).
    void shutdownWrite();
    // Everything until the server closes (or the time-out); `closed` tells which.
    std::string readToClose(ms timeout = ms(5000));
    bool closed() const { return closed_; }
    // One request, the whole reply.
    static std::string request(std::uint16_t port, bool tls, std::string_view head);

    // Sends an upgrade request for "/ws?code=<code>" and reads the reply head; true on 101.
    bool upgrade(const std::string& codeQuery, std::string* replyHead = nullptr);
    // A masked client frame.
    bool sendFrame(std::uint8_t opcode, std::string_view payload);
    struct Frame {
        std::uint8_t firstByte = 0;
        std::uint8_t opcode = 0;
        bool masked = false;
        Bytes payload;
    };
    // The next server frame; nothing when the connection closed or the time-out passed.
    std::optional<Frame> readFrame(ms timeout = ms(5000));

private:
    // Up to `n` bytes; 0 on close or time-out.
    std::size_t readSome(std::uint8_t* out, std::size_t n, ms timeout);
    bool readExactly(std::uint8_t* out, std::size_t n, ms timeout);

    int fd_ = -1;
    bool tls_ = false;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    bool closed_ = false;
    Bytes pending_;  // read past a reply head
};

}  // namespace orvane
