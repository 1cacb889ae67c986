// Our listener and dialler against OpenSSL's own command-line peers, on 127.0.0.1 only.
#include <gtest/gtest.h>

#include <algorithm>

#include "OrvaneKit/net/TlsPskDialler.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/net/testing/ListenerHarness.h"
#include "OrvaneKit/net/testing/TransportProbe.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr auto toolTimeout = 20s;

class InteropOpenssl : public ::testing::Test {
protected:
    // The key as OpenSSL derives it, independently of our code.
    static std::string pskHex;

    static void SetUpTestSuite() {
        pskHex.clear();  // repeated runs set the suite up again
        auto [status, out] =
            ChildProcess::run({"openssl", "kdf", "-keylen", "32", "-kdfopt", "digest:SHA256",
                               "-kdfopt", "pass:ABCDEFGHJKLM", "-kdfopt", "salt:tamblo.key.r7",
                               "-kdfopt", "iter:600000", "PBKDF2"},
                              "", toolTimeout);
        ASSERT_EQ(status, 0) << out;
        for (char c : out)
            if (std::isxdigit(static_cast<unsigned char>(c)))
                pskHex.push_back(static_cast<char>(std::tolower(c)));
        ASSERT_EQ(pskHex.size(), 64u) << out;
    }

    static SessionParams sessionParams() {
        return AccessCode::pskParameters("ABC-DEF-GHJ-KLM", true);
    }

    static std::vector<std::string> sClient(std::uint16_t port, std::vector<std::string> extra) {
        std::vector<std::string> argv = {"openssl", "s_client", "-connect",
                                         "127.0.0.1:" + std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    std::vector<std::string> pskArgs(const std::string& key,
                                     const std::string& identity = "kelsap") {
        return {"-tls1_2",       "-cipher", "PSK-AES128-GCM-SHA256", "-psk", key,
                "-psk_identity", identity};
    }
};
std::string InteropOpenssl::pskHex;

TEST_F(InteropOpenssl, OurKeyEqualsOpensslsDerivation) {
    EXPECT_EQ(toHex(AccessCode::pskKey("ABC-DEF-GHJ-KLM")), pskHex);
}

TEST_F(InteropOpenssl, SClientWithTheRightKeyGetsTls12PskWithoutCertificate) {
    ListenerHarness h(sessionParams());
    auto args = pskArgs(pskHex);
    args.push_back("-brief");
    auto [status, out] = ChildProcess::run(sClient(h.port(), args), "", toolTimeout);
    EXPECT_NE(out.find("Protocol version: TLSv1.2"), std::string::npos) << out;
    EXPECT_NE(out.find("Ciphersuite: PSK-AES128-GCM-SHA256"), std::string::npos) << out;
    EXPECT_NE(out.find("No peer certificate"), std::string::npos) << out;
    ASSERT_TRUE(h.waitAccepted(1));
    auto& server = h.probe(0);
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));
    // s_client ends with a clean close: an end of stream, not a failure.
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.eof || s.readError; }));
    EXPECT_FALSE(server.snapshot().has(conn::Failed{}));
}

TEST_F(InteropOpenssl, SClientRefusals) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        const char* clientSees;
        bool serverTlsFailure;
    };
    std::vector<Row> rows = {
        {"wrong key", pskArgs("00" + pskHex), "alert bad record mac", true},
        {"other identity", pskArgs(pskHex, "other"), "alert unknown psk identity", true},
        {"TLS 1.3 only",
         {"-tls1_3", "-psk", pskHex, "-psk_identity", "kelsap"},
         "alert protocol version",
         true},
        {"certificate suites only", {}, "handshake failure", true},
    };
    ListenerHarness h(sessionParams());
    std::uint16_t port = h.port();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.name);
        auto [status, out] = ChildProcess::run(sClient(port, row.args), "", toolTimeout);
        EXPECT_NE(status, 0) << out;
        EXPECT_NE(out.find(row.clientSees), std::string::npos) << out;
        ASSERT_TRUE(h.waitAccepted(i + 1));
        auto& server = h.probe(i);
        ASSERT_TRUE(server.waitForState(holds<conn::Failed>));
        auto snap = server.snapshot();
        EXPECT_FALSE(snap.has(conn::Ready{}));
        EXPECT_EQ(isTlsFailure(*snap.last()), row.serverTlsFailure) << describe(*snap.last());
    }
}

TEST_F(InteropOpenssl, SClientReconnectIsNeverResumed) {
    ListenerHarness h(sessionParams());
    auto args = pskArgs(pskHex);
    args.push_back("-reconnect");
    auto [status, out] = ChildProcess::run(sClient(h.port(), args), "", toolTimeout);
    EXPECT_EQ(status, 0) << out;
    std::size_t fresh = 0, pos = 0;
    while ((pos = out.find("New, TLSv1.2", pos)) != std::string::npos) ++fresh, ++pos;
    EXPECT_EQ(fresh, 6u) << out;
    EXPECT_EQ(out.find("Reused"), std::string::npos) << out;
    EXPECT_EQ(out.find("TLS session ticket"), std::string::npos) << out;
}

TEST_F(InteropOpenssl, DiallerAgainstSServer) {
    struct Row {
        const char* name;
        bool rightKey;
    };
    for (Row row : {Row{"right key", true}, Row{"wrong key", false}}) {
        SCOPED_TRACE(row.name);
        ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:0", "-nocert", "-tls1_2",
                             "-cipher", "PSK-AES128-GCM-SHA256", "-psk", pskHex, "-psk_identity",
                             "kelsap", "-no_ticket", "-naccept", "1"});
        ASSERT_TRUE(server.waitForOutput("ACCEPT 127.0.0.1:", toolTimeout)) << server.output();
        std::string out = server.output();
        auto at = out.find("ACCEPT 127.0.0.1:") + std::string("ACCEPT 127.0.0.1:").size();
        auto port = static_cast<std::uint16_t>(std::stoi(out.substr(at)));

        NetContext net(2);
        SessionParams params =
            row.rightKey ? sessionParams() : AccessCode::pskParameters("ABC-DEF-GHJ-KLN", true);
        auto client = TlsPskDialler::dial(net, {"127.0.0.1", port}, params);
        TransportProbe probe(client);
        // The first bytes on the wire are ours, queued before the connection is up.
        client->write({toBytes("orvane-first-frame\n")});
        client->start();
        if (row.rightKey) {
            ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
            EXPECT_TRUE(server.waitForOutput("orvane-first-frame", toolTimeout)) << server.output();
            EXPECT_NE(server.output().find("PSK-AES128-GCM-SHA256"), std::string::npos)
                << server.output();
        } else {
            ASSERT_TRUE(probe.waitForState(holds<conn::Failed>));
            EXPECT_TRUE(isTlsFailure(*probe.snapshot().last()))
                << describe(*probe.snapshot().last());
        }
        client->cancel();
        ASSERT_TRUE(probe.waitForState(holds<conn::Cancelled>));
        EXPECT_TRUE(server.waitExit(toolTimeout).has_value()) << server.output();
    }
}

}  // namespace
}  // namespace orvane
