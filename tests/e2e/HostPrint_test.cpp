// Printing from an application to a connected device, end to end: a private print server with
// the queue that install-print-queue.sh makes, the host binary and two orvane-peer viewers.
// The print server runs in a mount namespace of its own in which root's home is the host's test
// home, so the backend finds the host's script there; the machine's own print set-up is never
// used or changed.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

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

const std::string backend = ORVANE_BINARY_DIR "/Orvane_Host/print/cups/orvane";
const std::string installScript = ORVANE_SOURCE_DIR "/scripts/install-print-queue.sh";

template <class F>
bool eventually(F done, std::chrono::seconds limit) {
    for (auto until = Clock::now() + limit; Clock::now() < until;
         std::this_thread::sleep_for(100ms))
        if (done()) return true;
    return false;
}

void write(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::vector<json::Value> events(const std::string& output, const std::string& kind) {
    std::vector<json::Value> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (auto v = json::parse(std::string_view(line)); v && v->value("event", "") == kind)
            found.push_back(std::move(*v));
    return found;
}

// cupsd with its own configuration, spool, logs and socket, and a backend folder holding only
// ours; every other program folder is the system's.
class PrivateCups {
public:
    explicit PrivateCups(fs::path dir) : dir_(std::move(dir)) {}

    fs::path socket() const { return dir_ / "cups.sock"; }
    fs::path backendDir() const { return dir_ / "lib" / "backend"; }
    fs::path errorLog() const { return dir_ / "log" / "error_log"; }

    // True once the server answers; `rootHome` stands for /root inside its namespace.
    bool start(const fs::path& rootHome) {
        for (const char* d :
             {"etc/ppd", "etc/ssl", "lib/backend", "spool/tmp", "cache", "run", "log"})
            fs::create_directories(dir_ / d);
        for (const char* d : {"filter", "daemon", "cgi-bin", "monitor", "notifier", "driver"})
            fs::create_directory_symlink(fs::path("/usr/lib/cups") / d, dir_ / "lib" / d);
        // The filters run as lp: the spool is theirs to read, the rest to pass through.
        struct group* lp = ::getgrnam("lp");
        if (!lp) return false;
        if (::chown((dir_ / "spool").c_str(), 0, lp->gr_gid) != 0 ||
            ::chown((dir_ / "spool/tmp").c_str(), 0, lp->gr_gid) != 0)
            return false;
        fs::permissions(dir_ / "spool", static_cast<fs::perms>(0710));
        fs::permissions(dir_ / "spool/tmp", static_cast<fs::perms>(01770));
        std::string d = dir_.string();
        write(dir_ / "etc/cups-files.conf",
              "ServerRoot " + d + "/etc\nServerBin " + d + "/lib\nDataDir /usr/share/cups\n" +
                  "RequestRoot " + d + "/spool\nTempDir " + d + "/spool/tmp\nCacheDir " + d +
                  "/cache\nStateDir " + d + "/run\nServerKeychain " + d + "/etc/ssl\n" +
                  "ErrorLog " + d + "/log/error_log\nAccessLog " + d + "/log/access_log\n" +
                  "PageLog " + d + "/log/page_log\nUser lp\nGroup lp\nSystemGroup root\n" +
                  "FileDevice No\n");
        // Only its own socket, so nobody else can reach it.
        write(dir_ / "etc/cupsd.conf", "Listen " + socket().string() +
                                           "\nLogLevel debug\nBrowsing No\n"
                                           "BrowseLocalProtocols none\nDefaultShared No\n"
                                           "WebInterface No\n"
                                           "<Location />\n  Order allow,deny\n  Allow all\n"
                                           "</Location>\n<Policy default>\n  <Limit All>\n"
                                           "    Order deny,allow\n  </Limit>\n</Policy>\n");
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
            "mount --bind \"$0\" /root && exec /usr/sbin/cupsd -f -c \"$1/etc/cupsd.conf\" "
            "-s \"$1/etc/cups-files.conf\"",
            rootHome.string(), d});
        return eventually(
            [&] {
                return run({"lpstat", "-r"}).second.find("is running") != std::string::npos;
            },
            20s);
    }

    // A client program against this server only.
    std::pair<std::optional<int>, std::string> run(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"/usr/bin/env", "CUPS_SERVER=" + socket().string()});
        return ChildProcess::run(argv, "", 60s);
    }

private:
    fs::path dir_;
    std::unique_ptr<ChildProcess> process_;
};

class InteropHostPrint : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::unique_ptr<PrivateCups> cups;
    std::string code = AccessCode::generate();

    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: runs a private cupsd in a mount namespace of its own";
        if (::access("/usr/sbin/cupsd", X_OK) != 0)
            GTEST_SKIP() << "cupsd is missing (scripts/install-deps.sh installs cups)";
        for (const char* tool :
             {"/usr/bin/lp", "/usr/sbin/lpadmin", "/usr/bin/lpstat", "/usr/bin/lpoptions",
              "/usr/bin/pdfinfo", "/usr/bin/pdftotext", "/usr/bin/gs", "/usr/bin/unshare",
              "/usr/lib/cups/filter/pdftopdf"})
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing";
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary, backend})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        fs::permissions(home->dir(), static_cast<fs::perms>(0755));
        cups = std::make_unique<PrivateCups>(home->dir() / "cups");
        ASSERT_TRUE(cups->start(home->dir())) << readFile(cups->errorLog());
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
    }

    fs::path inbox() const { return home->dir() / "data" / "Orvane" / "Print"; }
    std::vector<fs::path> inboxFiles() const {
        std::vector<fs::path> files;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(inbox(), ec), end; !ec && it != end;
             it.increment(ec))
            if (it->is_regular_file()) files.push_back(it->path());
        return files;
    }
    std::pair<std::optional<int>, std::string> tool(std::vector<std::string> argv) {
        return ChildProcess::run(argv, "", 60s);
    }
    int pages(const fs::path& pdf) {
        auto [status, out] = tool({"/usr/bin/pdfinfo", pdf.string()});
        auto at = out.find("Pages:");
        return status == 0 && at != std::string::npos ? std::stoi(out.substr(at + 6)) : -1;
    }
};

TEST_F(InteropHostPrint, PrintedDocumentReachesTheTabletOnce) {
    const std::string install = installScript;
    for (int i = 0; i < 2; ++i) {  // safe to repeat
        auto [status, out] =
            cups->run({install, "--backend", backend, "--backend-dir", cups->backendDir()});
        ASSERT_EQ(status, 0) << out << readFile(cups->errorLog());
    }
    EXPECT_NE(cups->run({"lpoptions", "-p", "Orvane"}).second.find("printer-is-shared=false"),
              std::string::npos);

    // Two pages with text, as an application would print them.
    fs::path report = home->dir() / "report.pdf";
    auto [made, gsOut] =
        tool({"/usr/bin/gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
              "-sOutputFile=" + report.string(), "-c",
              "/Helvetica findfont 24 scalefont setfont 72 720 moveto (Quarterly figures) show "
              "showpage 72 720 moveto (Second page) show showpage"});
    ASSERT_EQ(made, 0) << gsOut;
    fs::path notes = home->dir() / "notes.txt";
    write(notes, "Shopping list\nmilk\nbread\n");

    ViewerPeer mac(home->dir(), "Studio Mac"), tablet(home->dir(), "Ann's iPad");
    TrustedDevice::save(home->settings(),
                        {{mac.fingerprint(), mac.name(), ClientPlatform::mac},
                         {tablet.fingerprint(), tablet.name(), ClientPlatform::iPad}});
    home->settings().setBool("unattendedAccess", true);
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    fs::path macSaved = home->dir() / "mac-saved", tabletSaved = home->dir() / "tablet-saved";
    fs::create_directories(macSaved);
    fs::create_directories(tabletSaved);
    // The Mac viewer comes first in the list; the tablet is still the one chosen.
    auto macPeer =
        mac.connect(host.port, code, "expect helloAck 20\nforbid fileOffer\nwait 120000\n",
                    {"--platform", "mac", "--save-files", macSaved.string()});
    ASSERT_TRUE(macPeer->waitForOutput(R"("type":"helloAck")", 30s)) << macPeer->output();
    auto tabletPeer = tablet.connect(
        host.port, code, "expect helloAck 20\nexpect fileEnd 90\nexpect fileEnd 90\nbye\n",
        {"--platform", "iPad", "--save-files", tabletSaved.string()});
    ASSERT_TRUE(tabletPeer->waitForOutput(R"("type":"helloAck")", 30s)) << tabletPeer->output();

    auto [printed, lpOut] =
        cups->run({"lp", "-d", "Orvane", "-t", "Q3/2026: report", report.string()});
    ASSERT_EQ(printed, 0) << lpOut;
    ASSERT_TRUE(
        eventually([&] { return events(tabletPeer->output(), "fileReceived").size() == 1; }, 60s))
        << tabletPeer->output() << host.process->output() << readFile(cups->errorLog());
    auto offers = ViewerPeer::messages(tabletPeer->output(), "fileOffer");
    ASSERT_EQ(offers.size(), 1u) << tabletPeer->output();
    EXPECT_EQ(offers[0]["body"].value("purpose", ""), "print");
    EXPECT_EQ(offers[0]["body"].value("name", ""), "Q3-2026- report.pdf");
    fs::path saved = tabletSaved / "Q3-2026- report.pdf";
    EXPECT_EQ(pages(saved), pages(report));
    EXPECT_EQ(pages(saved), 2);
    auto [textStatus, text] = tool({"/usr/bin/pdftotext", saved.string(), "-"});
    EXPECT_NE(text.find("Quarterly figures"), std::string::npos) << text;
    EXPECT_NE(text.find("Second page"), std::string::npos) << text;

    // Any document goes as a PDF.
    auto [printedText, lpTextOut] = cups->run({"lp", "-d", "Orvane", notes.string()});
    ASSERT_EQ(printedText, 0) << lpTextOut;
    EXPECT_EQ(tabletPeer->waitExit(90s), 0) << tabletPeer->output() << readFile(cups->errorLog());
    auto received = events(tabletPeer->output(), "fileReceived");
    ASSERT_EQ(received.size(), 2u) << tabletPeer->output();
    EXPECT_EQ(received[1].value("name", ""), "notes.txt.pdf");
    EXPECT_GE(pages(tabletSaved / "notes.txt.pdf"), 1);

    EXPECT_TRUE(ViewerPeer::messages(macPeer->output(), "fileOffer").empty()) << macPeer->output();
    EXPECT_FALSE(macPeer->waitExit(10ms)) << "the Mac viewer failed:\n" << macPeer->output();
    EXPECT_TRUE(fs::is_empty(macSaved));
    EXPECT_TRUE(eventually(
        [&] {
            auto out = cups->run({"lpstat", "-W", "completed", "-o", "Orvane"}).second;
            return out.find("Orvane-1") != std::string::npos &&
                   out.find("Orvane-2") != std::string::npos;
        },
        30s))
        << cups->run({"lpstat", "-W", "all", "-o", "Orvane"}).second;
    EXPECT_TRUE(eventually([&] { return inboxFiles().empty(); }, 20s));

    // With nobody to print to, the document still leaves the inbox.
    macPeer.reset();
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(cups->run({"lp", "-d", "Orvane", "-t", "Nobody there", report.string()}).first, 0);
    EXPECT_TRUE(eventually(
        [&] {
            return cups->run({"lpstat", "-W", "completed", "-o", "Orvane"})
                       .second.find("Orvane-3") != std::string::npos;
        },
        30s))
        << readFile(cups->errorLog());
    EXPECT_TRUE(eventually([&] { return inboxFiles().empty(); }, 20s));
    EXPECT_NE(readFile(home->logFile()).find("print job: Nobody there.pdf"), std::string::npos);

    auto [removed, removeOut] =
        cups->run({install, "--remove", "--backend-dir", cups->backendDir()});
    EXPECT_EQ(removed, 0) << removeOut;
    EXPECT_NE(cups->run({"lpstat", "-p", "Orvane"}).first, 0);
    EXPECT_FALSE(fs::exists(cups->backendDir() / "orvane"));
}

}  // namespace
}  // namespace orvane
