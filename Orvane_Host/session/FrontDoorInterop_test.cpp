// The host's listener against openssl s_client as a third-party TLS-PSK peer.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <thread>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/session/SecureSessionConnection.h"
#include "Orvane_Host/session/testing/LoopbackFrontDoor.h"
#include "Orvane_Host/session/testing/SettleClients.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

constexpr const char* accessCode = "ABC-DEF-GHJ-KLM";
constexpr const char* supportCode = "SUP-POR-TCO-DE2";

struct InteropHostListener : ::testing::Test, LoopbackFrontDoor {
    void SetUp() override {
        open(accessCode, "Interop");
        ASSERT_TRUE(h.pumpUntil([&] { return host->listenerState().rfind("Ready", 0) == 0; }));
    }
    void TearDown() override { closeAndSettle(host, h); }
    std::unique_ptr<ChildProcess> sClient(const std::string& code) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            "openssl", "s_client", "-connect",
            "127.0.0.1:" + std::to_string(host->listener()->port()), "-tls1_2", "-cipher",
            "PSK-AES128-GCM-SHA256", "-psk", toHex(AccessCode::pskKey(code)), "-psk_identity",
            "kelsap", "-nocommands"});
    }
    // The listener reports ready on every (re)start; the text alone stays "Ready…" meanwhile.
    std::size_t readyReports() const {
        std::size_t n = 0;
        for (const auto& c : advertiser.calls()) n += c.rfind("advertise", 0) == 0;
        return n;
    }
    // Waits for the peer to end, running the host meanwhile.
    bool ended(ChildProcess& p) {
        std::optional<int> status;
        std::thread waiter([&] { status = p.waitExit(15s); });
        bool done = h.pumpUntil(
            [&] {
                return p.output().find("closed") != std::string::npos ||
                       p.output().find("handshake failure") != std::string::npos ||
                       p.output().find(":error:") != std::string::npos;
            },
            15s);
        waiter.join();
        return done && status.has_value();
    }
};

}  // namespace

TEST_F(InteropHostListener, RightCodeIsClosedAfterTenSilentSeconds) {
    auto peer = sClient(accessCode);
    ASSERT_TRUE(h.pumpUntil([&] {
        return peer->output().find("Cipher is PSK-AES128-GCM-SHA256") != std::string::npos;
    })) << peer->output();
    ASSERT_TRUE(h.pumpUntil([&] { return host->clients().size() == 1; }));
    h.rt.advance(9s);
    EXPECT_EQ(host->clients().size(), 1u);
    h.rt.advance(1s);
    EXPECT_TRUE(host->clients().empty());
    EXPECT_TRUE(ended(*peer)) << peer->output();
    EXPECT_TRUE(h.history->entries().empty());
    EXPECT_TRUE(h.notifier.posted().empty());
}

TEST_F(InteropHostListener, FiveWrongCodesBlockTheSixthBeforeServerHello) {
    for (int i = 1; i <= 5; ++i) {
        auto ready = readyReports();
        auto peer = sClient("ZZZ-ZZZ-ZZZ-ZZ" + std::to_string(i + 1));
        ASSERT_TRUE(h.pumpUntil([&] {
            return h.wrongCodeEntries() == static_cast<std::size_t>(i);
        })) << i
            << "\n"
            << peer->output();
        EXPECT_TRUE(ended(*peer)) << peer->output();
        // A wrong code leaves the listening socket as it is.
        EXPECT_EQ(readyReports(), ready);
        h.rt.advance(4s);  // apart enough to be separate history entries
    }
    ASSERT_EQ(h.notifier.posted().size(), 1u);
    EXPECT_EQ(h.notifier.posted()[0].title, "Blocked repeated wrong codes");

    // Even the right code: the address is refused before the server says anything.
    auto sixth = sClient(accessCode);
    EXPECT_TRUE(ended(*sixth)) << sixth->output();
    EXPECT_NE(sixth->output().find("SSL handshake has read 0 bytes"), std::string::npos)
        << sixth->output();
    EXPECT_TRUE(host->clients().empty());
    EXPECT_EQ(h.wrongCodeEntries(), 5u);
}

TEST_F(InteropHostListener, PendingSupportCodeReplacesTheAccessCode) {
    auto ready = readyReports();
    auto port = host->listener()->port();
    host->setSupportCode(supportCode);
    host->frontDoor().start();
    // Same socket, new key: no new listener had to come up.
    EXPECT_EQ(host->listener()->port(), port);
    auto withAccess = sClient(accessCode);
    EXPECT_TRUE(ended(*withAccess)) << withAccess->output();
    // s_client prints its session summary even for a failed handshake; the alert tells.
    EXPECT_NE(withAccess->output().find("bad record mac"), std::string::npos)
        << withAccess->output();
    EXPECT_TRUE(h.pumpUntil([&] { return h.wrongCodeEntries() == 1; }));
    EXPECT_EQ(readyReports(), ready);

    auto withSupport = sClient(supportCode);
    EXPECT_TRUE(h.pumpUntil([&] {
        return withSupport->output().find("Cipher is PSK-AES128-GCM-SHA256") != std::string::npos;
    })) << withSupport->output();
    EXPECT_TRUE(h.pumpUntil([&] { return host->clients().size() == 1; }));
    EXPECT_EQ(h.wrongCodeEntries(), 1u);
}

// A restart keeps the listening socket: a wrong code arriving while the listener restarts meets
// TLS and is counted, never a closed port.
TEST_F(InteropHostListener, WrongCodesDuringRestartsAreCounted) {
    auto ready = readyReports();
    for (std::size_t i = 1; i <= 3; ++i) {
        auto peer = sClient("ZZZ-ZZZ-ZZZ-ZZ" + std::to_string(i + 1));
        host->frontDoor().start();
        EXPECT_TRUE(ended(*peer)) << peer->output();
        EXPECT_TRUE(h.pumpUntil([&] { return h.wrongCodeEntries() == i; })) << peer->output();
        EXPECT_EQ(peer->output().find("onnection refused"), std::string::npos) << peer->output();
        h.rt.advance(4s);  // apart enough to be separate history entries
    }
    EXPECT_EQ(readyReports(), ready);
}

// Port scans (connect, then close before any TLS byte) neither restart the listener nor count as
// wrong codes, and a viewer with the right code arriving among them gets in.
TEST_F(InteropHostListener, PortScansLeaveTheListenerAlone) {
    auto ready = readyReports();
    asio::io_context io;
    asio::ip::tcp::endpoint at(asio::ip::make_address("127.0.0.1"), host->listener()->port());
    auto scan = [&](int n) {
        for (int i = 0; i < n; ++i) {
            asio::ip::tcp::socket s(io);
            s.connect(at);
            s.close();
        }
    };
    scan(50);
    auto viewer = sClient(accessCode);
    scan(50);
    EXPECT_TRUE(h.pumpUntil([&] {
        return viewer->output().find("Cipher is PSK-AES128-GCM-SHA256") != std::string::npos;
    })) << viewer->output();
    // Let the scans' reports arrive.
    for (int i = 0; i < 20; ++i) h.pumpUntil([] { return false; }, 5ms);
    EXPECT_EQ(readyReports(), ready);
    EXPECT_EQ(h.wrongCodeEntries(), 0u);
    EXPECT_EQ(host->listenerState().rfind("Ready", 0), 0u);
}

// After a new access code the old one is refused and the new one let in, on the same socket.
TEST_F(InteropHostListener, NewAccessCodeRefusesTheOldOne) {
    auto port = host->listener()->port();
    host->newAccessCode();
    const std::string fresh = host->accessCode();
    EXPECT_EQ(host->listener()->port(), port);

    auto withOld = sClient(accessCode);
    EXPECT_TRUE(ended(*withOld)) << withOld->output();
    EXPECT_NE(withOld->output().find("bad record mac"), std::string::npos) << withOld->output();
    EXPECT_TRUE(host->clients().empty());

    auto withNew = sClient(fresh);
    EXPECT_TRUE(h.pumpUntil([&] {
        return withNew->output().find("Cipher is PSK-AES128-GCM-SHA256") != std::string::npos;
    })) << withNew->output();
    EXPECT_TRUE(h.pumpUntil([&] { return host->clients().size() == 1; }));
}
