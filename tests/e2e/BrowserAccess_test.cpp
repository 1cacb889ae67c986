// The host binary with browser access switched on in its settings: the page over HTTPS with the
// host's own certificate, and wrong codes entered in a browser counted against the address by the
// same guard as the session listener's.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/browser/testing/BrowserTestClient.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class NetBrowserHost : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();
    HostHome::Running host;

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        if (!fs::exists("/usr/bin/openssl")) GTEST_SKIP() << "no /usr/bin/openssl";
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
        home->settings().setBool("browserAccess", true);
        host = home->start();
        ASSERT_NE(host.port, 0) << host.process->output();
        ASSERT_TRUE(HostHome::waitForBrowser(host)) << host.process->output();
    }
};

TEST_F(NetBrowserHost, ServesThePageByteForByteWithASelfSignedServerCertificate) {
    auto [status, page] = ChildProcess::run(
        {"curl", "-k", "-s", "https://127.0.0.1:" + std::to_string(host.browserPort) + "/"}, "",
        10s);
    ASSERT_EQ(status, 0);
    const std::string built = readFile(ORVANE_BINARY_DIR "/resources/browser-viewer.html");
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(page, built);
    EXPECT_EQ(page.find("/*@KEY_TABLE@*/"), std::string::npos) << "the key table is filled in";
    EXPECT_NE(page.find("\"KeyQ\":12"), std::string::npos);

    auto [sc, cert] = ChildProcess::run(
        {"sh", "-c",
         "openssl s_client -connect 127.0.0.1:" + std::to_string(host.browserPort) +
             " </dev/null 2>/dev/null | openssl x509 -noout -subject -ext extendedKeyUsage"},
        "", 20s);
    EXPECT_NE(cert.find("subject=CN = Orvane Host ("), std::string::npos) << cert;
    EXPECT_NE(cert.find("TLS Web Server Authentication"), std::string::npos) << cert;

    const fs::path p12 = home->dir() / "data" / "Orvane Host" / "browser-tls.p12";
    struct stat st {};
    ASSERT_EQ(::stat(p12.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(home->settings().string("browserTLSPassphrase"));
    // The request target, which carries the code, is never logged.
    BrowserTestClient viewer(host.browserPort, true);
    ASSERT_TRUE(viewer.upgrade("code=" + AccessCode::normalize(code)));
    std::this_thread::sleep_for(300ms);
    const std::string log = readFile(home->logFile());
    EXPECT_NE(log.find("browser viewer connected (1 total)"), std::string::npos) << log;
    EXPECT_EQ(log.find(AccessCode::normalize(code)), std::string::npos);
}

TEST_F(NetBrowserHost, TheFifthWrongCodeBlocksTheAddressForBrowserAndSessions) {
    const std::string forbidden = "HTTP/1.1 403 Forbidden\r\n";
    for (int i = 0; i < 5; ++i) {
        BrowserTestClient c(host.browserPort, true);
        std::string head;
        EXPECT_FALSE(c.upgrade("code=WRONG-CODE-" + std::to_string(i), &head));
        EXPECT_EQ(head.rfind(forbidden, 0), 0u) << head;
    }
    // The right code no longer helps, in a browser or a viewer app.
    BrowserTestClient late(host.browserPort, true);
    std::string head;
    EXPECT_FALSE(late.upgrade("code=" + code, &head));
    EXPECT_EQ(head.rfind(forbidden, 0), 0u) << head;

    ViewerPeer device(home->dir(), "Blocked Laptop");
    TrustedDevice::save(home->settings(),
                        {{device.fingerprint(), device.name(), ClientPlatform::mac}});
    home->settings().setBool("unattendedAccess", true);
    auto p = device.connect(host.port, code, "expect helloAck 10\n");
    p->waitExit(20s);
    // Refused before TLS, as the listener treats a blocked address.
    EXPECT_NE(p->output().find("connection closed before TLS was established"), std::string::npos)
        << p->output();
    EXPECT_NE(readFile(home->historyFile()).find("127.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace orvane
