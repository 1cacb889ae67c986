// The inbox on a real file system: a document written slowly goes once it is complete.
#include "Orvane_Host/print/inotify/InotifyFolderWatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/print/RemotePrint.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RemotePrintInotify, DocumentWrittenInPiecesGoesWholeAfterItsClose) {
    if (::access("/usr/bin/inotifywait", X_OK) != 0)
        GTEST_SKIP() << "inotifywait (inotify-tools) is not installed";
    fs::path dir = fs::temp_directory_path() / ("orvane-print-inotify-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::path inbox = dir / "inbox";
    fs::create_directories(inbox);
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{dir};

    constexpr int pieces = 10, pieceSize = 64 * 1024;
    std::string source = "%PDF-1.4\n";
    std::mt19937 random(7);
    while (source.size() < pieces * pieceSize) source += static_cast<char>(random());
    source.resize(pieces * pieceSize);
    std::ofstream(dir / "source.pdf", std::ios::binary) << source;

    asio::io_context io;
    IoContextMainActor main(io);
    AsioTimerService timers(io);
    InotifyFolderWatcher watcher(main);
    auto print = RemotePrint::make({main, timers, watcher, inbox, dir / "script"});
    ChildProcess closes(
        {"/usr/bin/inotifywait", "-m", "-e", "close_write", "--format", "%e %f", inbox.string()});
    ASSERT_TRUE(closes.waitForOutput("Watches established", 10s)) << closes.output();

    std::vector<fs::path> handed;
    std::string closesSeenAtHandOver;
    print->onDocument = [&](const fs::path& pdf) {
        handed.push_back(pdf);
        closesSeenAtHandOver = closes.output();
    };
    print->start();

    // One open file, ten writes, the scan after its creation falls between two of them.
    ChildProcess writer({"/bin/sh", "-c",
                         "exec 3>\"$1\"; i=0; while [ $i -lt 10 ]; do dd if=\"$2\" bs=" +
                             std::to_string(pieceSize) +
                             " skip=$i count=1 status=none >&3; i=$((i+1)); sleep 0.2; done",
                         "writer", (inbox / "Report.pdf").string(), (dir / "source.pdf").string()});
    auto until = std::chrono::steady_clock::now() + 30s;
    while (handed.empty() && std::chrono::steady_clock::now() < until) io.run_for(50ms);
    EXPECT_EQ(writer.waitExit(10s), 0) << writer.output();
    // Later scans (its own claim brings one) hand nothing over again.
    io.run_for(1200ms);

    ASSERT_EQ(handed.size(), 1u);
    EXPECT_NE(closesSeenAtHandOver.find("CLOSE_WRITE,CLOSE Report.pdf"), std::string::npos)
        << "handed over before the writer closed it:\n"
        << closesSeenAtHandOver;
    EXPECT_EQ(handed[0].filename(), "Report.pdf");
    EXPECT_TRUE(slurp(handed[0]) == source)
        << "handed over " << fs::file_size(handed[0]) << " of " << source.size() << " bytes";
    EXPECT_FALSE(fs::exists(inbox / "Report.pdf"));
}

}  // namespace
}  // namespace orvane
