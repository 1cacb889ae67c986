// The TLS half of the QUIC transport against openssl as a third-party TLS 1.3 PSK peer, over
// TCP (openssl's tools speak no QUIC).
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "OrvaneKit/net/ngtcp2/PskTls.h"
#include "OrvaneKit/net/testing/ChildProcess.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
constexpr auto toolTimeout = 10s;

const Bytes rightKey(32, 0x5a);
const Bytes wrongKey(32, 0x5b);

int tcpConnect(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Runs the handshake on a connected socket; GnuTLS's result.
int handshake(PskTls& tls, int fd) {
    gnutls_transport_set_int(tls.session(), fd);
    gnutls_handshake_set_timeout(tls.session(), 10000);
    int rv;
    do {
        rv = gnutls_handshake(tls.session());
    } while (rv < 0 && gnutls_error_is_fatal(rv) == 0);
    return rv;
}

void expectOurSuite(gnutls_session_t s) {
    EXPECT_EQ(gnutls_protocol_get_version(s), GNUTLS_TLS1_3);
    EXPECT_EQ(gnutls_cipher_get(s), GNUTLS_CIPHER_AES_128_GCM);
    EXPECT_EQ(gnutls_auth_get_type(s), GNUTLS_CRD_PSK);
    gnutls_datum_t alpn{};
    ASSERT_EQ(gnutls_alpn_get_selected_protocol(s, &alpn), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(alpn.data), alpn.size), "kelsap-hp");
}

TEST(InteropQuicTls, OurClientAgainstSServer) {
    for (bool right : {true, false}) {
        SCOPED_TRACE(right ? "right key" : "wrong key");
        ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:0", "-nocert", "-tls1_3",
                             "-ciphersuites", "TLS_AES_128_GCM_SHA256", "-psk", toHex(rightKey),
                             "-psk_identity", "kelsap", "-alpn", "kelsap-hp", "-naccept", "1"});
        ASSERT_TRUE(server.waitForOutput("ACCEPT 127.0.0.1:", toolTimeout)) << server.output();
        std::string out = server.output();
        auto at = out.find("ACCEPT 127.0.0.1:") + std::string("ACCEPT 127.0.0.1:").size();
        int fd = tcpConnect(static_cast<std::uint16_t>(std::stoi(out.substr(at))));
        ASSERT_GE(fd, 0);
        PskTlsRef ref;
        PskTls tls;
        ASSERT_TRUE(tls.init(false, ref, right ? rightKey : wrongKey));
        int rv = handshake(tls, fd);
        if (right) {
            ASSERT_EQ(rv, 0) << gnutls_strerror(rv);
            expectOurSuite(tls.session());
            const char hello[] = "orvane-quic-tls\n";
            EXPECT_GT(gnutls_record_send(tls.session(), hello, sizeof hello - 1), 0);
            EXPECT_TRUE(server.waitForOutput("orvane-quic-tls", toolTimeout)) << server.output();
            gnutls_bye(tls.session(), GNUTLS_SHUT_WR);
        } else {
            EXPECT_LT(rv, 0);
        }
        ::close(fd);
        server.waitExit(toolTimeout);
    }
}

TEST(InteropQuicTls, SClientAgainstOurServer) {
    struct Row {
        const char* name;
        const char* identity;
        const Bytes* key;
        bool ok;
    };
    // A wrong key and an unknown identity fail alike, with illegal_parameter (47).
    const Row rows[] = {{"right key", "kelsap", &rightKey, true},
                        {"wrong key", "kelsap", &wrongKey, false},
                        {"unknown identity", "kelsaq", &rightKey, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(lfd, 1), 0);
        socklen_t len = sizeof a;
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);

        ChildProcess client({"openssl", "s_client", "-connect",
                             "127.0.0.1:" + std::to_string(ntohs(a.sin_port)), "-tls1_3",
                             "-ciphersuites", "TLS_AES_128_GCM_SHA256", "-psk", toHex(*row.key),
                             "-psk_identity", row.identity, "-alpn", "kelsap-hp"});
        int fd = ::accept(lfd, nullptr, nullptr);
        ASSERT_GE(fd, 0);
        PskTlsRef ref;
        ref.key = [] { return rightKey; };
        PskTls tls;
        ASSERT_TRUE(tls.init(true, ref, {}));
        int rv = handshake(tls, fd);
        if (row.ok) {
            ASSERT_EQ(rv, 0) << gnutls_strerror(rv);
            expectOurSuite(tls.session());
            EXPECT_TRUE(client.waitForOutput("TLS_AES_128_GCM_SHA256", toolTimeout))
                << client.output();
        } else {
            EXPECT_EQ(rv, GNUTLS_E_RECEIVED_ILLEGAL_PARAMETER) << gnutls_strerror(rv);
            // Over TCP the application sends the alert; over QUIC the stack carries it.
            gnutls_alert_send_appropriate(tls.session(), rv);
            EXPECT_TRUE(client.waitForOutput("alert number 47", toolTimeout)) << client.output();
        }
        client.closeStdin();
        ::close(fd);
        ::close(lfd);
        client.waitExit(toolTimeout);
    }
}

}  // namespace
}  // namespace orvane
