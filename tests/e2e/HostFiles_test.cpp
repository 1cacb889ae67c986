// Files between the host binary and orvane-peer over loopback: what a viewer sends lands whole
// in the host's Downloads folder or not at all, and what the host sends reaches the viewer.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sanitizers add their own memory, so peak sizes mean something only without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

std::string digest(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        EVP_DigestUpdate(ctx, block.data(), static_cast<std::size_t>(in.gcount()));
    unsigned char out[32];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, out, &n);
    EVP_MD_CTX_free(ctx);
    return toHex(ByteView(out, n));
}

// A file whose every 8-byte word differs from its neighbours, written in blocks.
fs::path makeFile(const fs::path& file, std::uint64_t size, std::uint64_t seed) {
    std::ofstream out(file, std::ios::binary);
    std::vector<std::uint64_t> block(1 << 17);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::uint64_t done = 0; done < size;) {
        for (auto& w : block) w = (x ^= x << 13, x ^= x >> 7, x ^= x << 17);
        auto n = std::min<std::uint64_t>(size - done, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
    return file;
}

long peakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::vector<json::Value> events(const std::string& output, const std::string& kind) {
    std::vector<json::Value> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (auto v = json::parse(std::string_view(line)); v && v->value("event", "") == kind)
            found.push_back(std::move(*v));
    return found;
}

class HostFilesTest : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();
    std::vector<TrustedDevice> trusted;

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
    }

    // A device let in without asking.
    ViewerPeer device(const std::string& name) {
        ViewerPeer p(home->dir(), name);
        trusted.push_back({p.fingerprint(), name, ClientPlatform::iPhone});
        TrustedDevice::save(home->settings(), trusted);
        home->settings().setBool("unattendedAccess", true);
        return p;
    }
    fs::path inbox() const { return home->dir() / "Downloads" / "Orvane"; }
    std::vector<std::string> inboxNames() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(inbox(), ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    bool waitForInbox(const std::vector<std::string>& names, std::chrono::seconds limit = 30s) {
        for (auto until = Clock::now() + limit; Clock::now() < until;
             std::this_thread::sleep_for(20ms))
            if (inboxNames() == names) return true;
        return false;
    }

    // Sends one file from a new viewer and checks it lands intact.
    void sendAndCompare(std::uint64_t size, std::chrono::seconds limit) {
        auto source = makeFile(home->dir() / "source.bin", size, 7);
        auto viewer = device("Phone");
        auto host = home->start();
        ASSERT_NE(host.port, 0) << host.process->output();
        auto p = viewer.connect(host.port, code,
                                "expect helloAck 20\nsendfile " + source.string() + "\nbye\n");
        ASSERT_EQ(p->waitExit(limit), 0) << p->output();
        ASSERT_TRUE(waitForInbox({"source.bin"}, limit)) << host.process->output();
        EXPECT_EQ(fs::file_size(inbox() / "source.bin"), size);
        EXPECT_EQ(digest(inbox() / "source.bin"), digest(source));
        // Streamed both ways: neither process ever held much of the file.
        auto sent = events(p->output(), "fileSent");
        ASSERT_EQ(sent.size(), 1u) << p->output();
        EXPECT_EQ(sent[0].value("bytes", 0ull), size);
        long peer = sent[0].value("maxRssKiB", -1l), hostPeak = peakKiB(host.pid);
        EXPECT_GT(peer, 0);
        EXPECT_GT(hostPeak, 0);
        if (!sanitized) {
            EXPECT_LT(peer, 200 * 1024);
            EXPECT_LT(hostPeak, 200 * 1024);
        }
        std::cout << "peak memory: peer " << peer / 1024 << " MiB, host " << hostPeak / 1024
                  << " MiB\n";
    }
};

using HostFiles = HostFilesTest;
using NetHostFiles = HostFilesTest;
using SlowHostFiles = HostFilesTest;

TEST_F(HostFiles, ViewersFileArrivesIntact) {
    sendAndCompare(4 * 1024 * 1024 + 123, 60s);
}

TEST_F(SlowHostFiles, GibibyteArrivesIntactWithoutGrowingEitherProcess) {
    sendAndCompare(1ull << 30, 300s);
}

TEST_F(NetHostFiles, TransferCutHalfwayLeavesNoPartFile) {
    auto viewer = device("Phone");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    Uuid id = Uuid::random();
    Bytes half(id.bytes.begin(), id.bytes.end());
    half.resize(16 + 1000, 0x5A);
    auto p = viewer.connect(host.port, code,
                            "expect helloAck 20\nsend fileOffer {\"id\":\"" + id.string() +
                                "\",\"name\":\"cut.bin\",\"size\":2000}\nsend fileChunk hex:" +
                                toHex(half) + "\nwait 3000\nclose\n");
    std::string part = "." + id.string() + ".kelsap-part";
    EXPECT_TRUE(waitForInbox({part}, 20s)) << p->output();
    EXPECT_EQ(p->waitExit(30s), 0) << p->output();
    EXPECT_TRUE(waitForInbox({}, 20s)) << host.process->output();
}

TEST_F(NetHostFiles, TwoFilesOfOneNameBothSurvive) {
    auto a = makeFile(home->dir() / "a.pdf", 3 * 1024 * 1024, 1);
    auto b = makeFile(home->dir() / "b.pdf", 3 * 1024 * 1024, 2);
    auto first = device("First Phone");
    auto second = device("Second Phone");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto p1 = first.connect(host.port, code,
                            "expect helloAck 20\nsendfile " + a.string() + " report.pdf\nbye\n");
    auto p2 = second.connect(host.port, code,
                             "expect helloAck 20\nsendfile " + b.string() + " report.pdf\nbye\n");
    EXPECT_EQ(p1->waitExit(60s), 0) << p1->output();
    EXPECT_EQ(p2->waitExit(60s), 0) << p2->output();
    ASSERT_TRUE(waitForInbox({"report 2.pdf", "report.pdf"})) << host.process->output();
    std::set<std::string> landed = {digest(inbox() / "report.pdf"),
                                    digest(inbox() / "report 2.pdf")};
    EXPECT_EQ(landed, (std::set<std::string>{digest(a), digest(b)}));
}

TEST_F(NetHostFiles, OfferAboveTwentyGibibytesIsRefused) {
    auto huge = home->dir() / "huge.img";
    std::ofstream(huge).close();
    fs::resize_file(huge, FileReceiver::maximumSize + 1);  // sparse: nothing on disk
    auto viewer = device("Phone");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto p = viewer.connect(host.port, code,
                            "expect helloAck 20\nsendfile " + huge.string() + "\nbye\n");
    EXPECT_EQ(p->waitExit(60s), 1) << p->output();
    EXPECT_NE(p->output().find("The receiving device ended the transfer"), std::string::npos)
        << p->output();
    EXPECT_TRUE(waitForInbox({}, 10s));
    EXPECT_NE(readFile(home->logFile()).find("file transfer failed: The file is too large"),
              std::string::npos);
}

// A host that may not write files past 4 MiB (a full disk looks the same to it).
TEST_F(NetHostFiles, WriteFailureEndsTheTransferWithoutAPartialFile) {
    auto source = makeFile(home->dir() / "big.bin", 16 * 1024 * 1024, 3);
    auto viewer = device("Phone");
    HostHome::Options options;
    options.fileSizeLimit = 4 * 1024 * 1024;
    auto host = home->start(options);
    ASSERT_NE(host.port, 0) << host.process->output();
    auto p = viewer.connect(host.port, code,
                            "expect helloAck 20\nsendfile " + source.string() + "\nbye\n");
    EXPECT_EQ(p->waitExit(60s), 1) << p->output();
    EXPECT_NE(p->output().find("The receiving device ended the transfer"), std::string::npos)
        << p->output();
    EXPECT_TRUE(waitForInbox({}, 10s));
    EXPECT_NE(readFile(home->logFile()).find("file transfer failed: Could not write the file"),
              std::string::npos);
    EXPECT_FALSE(host.process->waitExit(100ms)) << "the host stopped";
}

TEST_F(NetHostFiles, FileFromTheHostReachesTheViewer) {
    auto source = makeFile(home->dir() / "From Host.bin", 2 * 1024 * 1024 + 5, 9);
    auto saved = home->dir() / "saved";
    fs::create_directories(saved);
    auto viewer = device("Tablet");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto p = viewer.connect(host.port, code, "expect helloAck 20\nexpect fileEnd 30\nbye\n",
                            {"--save-files", saved.string(), "--platform", "iPad"});
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();
    host.process->writeStdin("send " + source.string() + "\n");
    EXPECT_EQ(p->waitExit(60s), 0) << p->output();
    auto received = events(p->output(), "fileReceived");
    ASSERT_EQ(received.size(), 1u) << p->output();
    EXPECT_EQ(received[0].value("name", ""), "From Host.bin");
    EXPECT_EQ(digest(saved / "From Host.bin"), digest(source));
}

}  // namespace
}  // namespace orvane
