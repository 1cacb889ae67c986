// The print inbox: the script the backend runs, and each finished document handed over once.
#include "Orvane_Host/print/RemotePrint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "OrvaneKit/base/testing/TestRuntime.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/print/testing/FakeFolderWatcher.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = FolderEvent::Kind;

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& file, const std::string& text, std::ios::openmode mode = {}) {
    std::ofstream(file, std::ios::binary | mode) << text;
}

// A scratch folder per test, removed afterwards.
class Scratch {
public:
    Scratch() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("orvane-print-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path& dir() const { return dir_; }

private:
    fs::path dir_;
};

// A one-page PDF as the print system would hand it over.
std::optional<fs::path> makePdf(const fs::path& file, const std::string& text = "Quarterly") {
    if (::access("/usr/bin/gs", X_OK) != 0) return std::nullopt;
    auto [status, out] = ChildProcess::run(
        {"/usr/bin/gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
         "-sOutputFile=" + file.string(), "-c",
         "/Helvetica findfont 24 scalefont setfont 72 720 moveto (" + text + ") show showpage"},
        "", 30s);
    if (status != 0) return std::nullopt;
    return file;
}

TEST(RemotePrintScript, PlainInboxIsWrittenAsItStands) {
    EXPECT_EQ(RemotePrint::scriptText("/home/ann/.local/share/Orvane/Print"),
              "#!/bin/sh\n"
              "# Installed by Orvane Host: sends this document to your iPhone or iPad to print.\n"
              "name=$(printf '%s' \"$1\" | tr '/:' '--')\n"
              "[ -z \"$name\" ] && name=\"Document\"\n"
              "cp \"$3\" \"/home/ann/.local/share/Orvane/Print/$name.pdf\"");
}

// Run by sh as the backend runs it: title, options, document.
std::pair<std::optional<int>, std::string> runScript(const fs::path& script,
                                                     const std::string& title,
                                                     const fs::path& pdf) {
    return ChildProcess::run({"/bin/sh", script.string(), title, "", pdf.string()}, "", 10s);
}

TEST(RemotePrintScript, ShellCharactersInTheInboxPathStayText) {
    Scratch s;
    const fs::path inbox = s.dir() / "in \"q\" $HOME `id` \\z" / "Print";
    EXPECT_EQ(RemotePrint::scriptText(inbox),
              "#!/bin/sh\n"
              "# Installed by Orvane Host: sends this document to your iPhone or iPad to print.\n"
              "name=$(printf '%s' \"$1\" | tr '/:' '--')\n"
              "[ -z \"$name\" ] && name=\"Document\"\n"
              "cp \"$3\" \"" +
                  s.dir().string() + "/in \\\"q\\\" \\$HOME \\`id\\` \\\\z/Print/$name.pdf\"");

    TestRuntime rt;
    FakeFolderWatcher watcher;
    auto print = RemotePrint::make({rt.mainActor, rt.timers, watcher, inbox, s.dir() / "script"});
    print->start();
    spit(s.dir() / "doc.pdf", "%PDF-1.4 text");
    auto [status, out] = runScript(s.dir() / "script", "Notes", s.dir() / "doc.pdf");
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(slurp(inbox / "Notes.pdf"), "%PDF-1.4 text");
}

TEST(RemotePrintScript, InstalledAtEveryStartAndNamesTheCopyAfterTheTitle) {
    Scratch s;
    auto pdf = makePdf(s.dir() / "printed.pdf");
    if (!pdf) GTEST_SKIP() << "no ghostscript to make a PDF with";
    const fs::path inbox = s.dir() / "data" / "Orvane" / "Print";
    const fs::path script = RemotePrint::scriptIn(s.dir() / "home");
    TestRuntime rt;
    FakeFolderWatcher watcher;
    RemotePrint::make({rt.mainActor, rt.timers, watcher, inbox, script})->start();

    struct stat st {};
    ASSERT_EQ(::stat(script.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(slurp(script), RemotePrint::scriptText(inbox));
    EXPECT_TRUE(fs::is_directory(inbox));

    for (auto [title, landed] :
         {std::pair<std::string, std::string>{"a/b:c", "a-b-c.pdf"}, {"", "Document.pdf"}}) {
        auto [status, out] = runScript(script, title, *pdf);
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(slurp(inbox / landed), slurp(*pdf)) << title;
    }

    // A changed or damaged script is put right by the next start.
    spit(script, "#!/bin/sh\nexit 1\n");
    fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
    RemotePrint::make({rt.mainActor, rt.timers, watcher, inbox, script})->start();
    EXPECT_EQ(slurp(script), RemotePrint::scriptText(inbox));
    ASSERT_EQ(::stat(script.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST(RemotePrintScript, FailureToInstallIsLoggedAndWatchingGoesOn) {
    Scratch s;
    spit(s.dir() / "home", "a file where a folder should be");
    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    TestRuntime rt;
    FakeFolderWatcher watcher;
    RemotePrint::make({rt.mainActor, rt.timers, watcher, s.dir() / "inbox",
                       RemotePrint::scriptIn(s.dir() / "home")})
        ->start();
    Log::removeSink(logs);
    EXPECT_TRUE(logs->contains("couldn't install PDF service: ")) << "no error logged";
    EXPECT_TRUE(watcher.watching());
}

// The inbox with a fake watcher and virtual time.
class RemotePrintInbox : public ::testing::Test {
protected:
    Scratch s;
    fs::path inbox = s.dir() / "inbox";
    TestRuntime rt;
    FakeFolderWatcher watcher;
    std::vector<fs::path> handed;
    std::shared_ptr<RemotePrint> print;
    std::shared_ptr<MemoryLogSink> logs = std::make_shared<MemoryLogSink>();

    void SetUp() override { Log::addSink(logs); }
    void TearDown() override { Log::removeSink(logs); }

    void start() {
        print = RemotePrint::make({rt.mainActor, rt.timers, watcher, inbox, s.dir() / "script"});
        print->onDocument = [this](const fs::path& pdf) { handed.push_back(pdf); };
        print->start();
    }
    // A file written whole and closed, as cp leaves it.
    void written(const std::string& name, const std::string& text = "%PDF-1.4") {
        spit(inbox / name, text);
        watcher.fire(Kind::closedAfterWriting, name);
    }
    std::vector<std::string> handedNames() const {
        std::vector<std::string> names;
        for (const auto& p : handed) names.push_back(p.filename().string());
        return names;
    }
};

TEST_F(RemotePrintInbox, EachEventBringsItsOwnScanHalfASecondLater) {
    start();
    written("a.pdf");
    rt.advance(200ms);
    written("b.pdf");
    EXPECT_EQ(rt.timers.pendingCount(), 2u) << "scans are neither merged nor cancelled";
    rt.advance(299ms);
    EXPECT_TRUE(handed.empty());
    rt.advance(1ms);
    // b.pdf closed only 0.3 s ago: its own scan takes it.
    EXPECT_EQ(handedNames(), (std::vector<std::string>{"a.pdf"}));
    EXPECT_EQ(rt.timers.pendingCount(), 1u);
    rt.advance(199ms);
    EXPECT_EQ(handed.size(), 1u);
    rt.advance(1ms);
    EXPECT_EQ(handedNames(), (std::vector<std::string>{"a.pdf", "b.pdf"}));
    EXPECT_TRUE(logs->contains("print job: a.pdf"));
    EXPECT_TRUE(logs->contains("print job: b.pdf"));
}

TEST_F(RemotePrintInbox, OnlyPdfFilesOfAnyCaseAreTaken) {
    start();
    for (const char* name :
         {"UPPER.PDF", "Mixed.Pdf", ".hidden.pdf", "notes.txt", "report.pdf.part", "pdf", "plain"})
        written(name);
    fs::create_directory(inbox / "folder.pdf");
    watcher.fire(Kind::created, "folder.pdf");
    rt.advance(1s);
    auto names = handedNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".hidden.pdf", "Mixed.Pdf", "UPPER.PDF"}));
    EXPECT_TRUE(fs::exists(inbox / "notes.txt"));
}

TEST_F(RemotePrintInbox, EachDocumentIsHandedOverOnceAndANewCopyNeverTouchesIt) {
    start();
    written("Report.pdf", "first job");
    rt.advance(500ms);
    ASSERT_EQ(handed.size(), 1u);
    // Claimed out of the inbox, into a folder of its own under the same name.
    EXPECT_FALSE(fs::exists(inbox / "Report.pdf"));
    EXPECT_EQ(handed[0].filename(), "Report.pdf");
    EXPECT_EQ(handed[0].parent_path().parent_path(), inbox / RemotePrint::sendingFolder);
    // While it is still being sent, more scans come and a second job of that title arrives.
    watcher.fire(Kind::removed, "other.pdf");
    rt.advance(1s);
    written("Report.pdf", "second job, longer");
    rt.advance(500ms);
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(slurp(handed[0]), "first job");
    EXPECT_EQ(slurp(handed[1]), "second job, longer");
    EXPECT_NE(handed[0], handed[1]);

    // Once sent and removed, its folder goes at the next scan; nothing is handed over again.
    fs::remove(handed[0]);
    watcher.fire(Kind::removed, "x");
    rt.advance(500ms);
    EXPECT_FALSE(fs::exists(handed[0].parent_path()));
    EXPECT_TRUE(fs::exists(handed[1]));
    EXPECT_EQ(handed.size(), 2u);
}

TEST_F(RemotePrintInbox, OnlyFinishedFilesWhoseSizeHeldStillGo) {
    start();
    // Still being written: created, never closed.
    spit(inbox / "open.pdf", "%PDF");
    watcher.fire(Kind::created, "open.pdf");
    // Closed, then written to again before the scan (a second cp over the same name).
    written("growing.pdf", "%PDF-1.4");
    rt.advance(100ms);
    spit(inbox / "growing.pdf", " more", std::ios::app);
    rt.advance(2s);
    EXPECT_TRUE(handed.empty());

    // Each goes at the scan after its own close.
    watcher.fire(Kind::closedAfterWriting, "growing.pdf");
    watcher.fire(Kind::closedAfterWriting, "open.pdf");
    spit(inbox / "moved.pdf", "%PDF moved");
    watcher.fire(Kind::movedIn, "moved.pdf");
    rt.advance(500ms);
    auto names = handedNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"growing.pdf", "moved.pdf", "open.pdf"}));
    for (const auto& p : handed) {
        if (p.filename() == "growing.pdf") {
            EXPECT_EQ(slurp(p), "%PDF-1.4 more");
        }
    }
}

TEST_F(RemotePrintInbox, LostEventsLeaveFinishedFilesToTheirSize) {
    start();
    spit(inbox / "quiet.pdf", "%PDF");
    watcher.fire(Kind::overflow, "");
    rt.advance(500ms);
    EXPECT_EQ(handedNames(), (std::vector<std::string>{"quiet.pdf"}));
}

TEST_F(RemotePrintInbox, ClaimedLeftoversGoAtStartAndWaitingDocumentsWithTheNextScan) {
    fs::create_directories(inbox / RemotePrint::sendingFolder / "OLD");
    spit(inbox / RemotePrint::sendingFolder / "OLD" / "stale.pdf", "%PDF");
    spit(inbox / "waiting.pdf", "%PDF");
    start();
    EXPECT_FALSE(fs::exists(inbox / RemotePrint::sendingFolder));
    EXPECT_EQ(watcher.folder, inbox);
    rt.advance(1s);
    EXPECT_TRUE(handed.empty()) << "no scan without an event";
    watcher.fire(Kind::removed, "other.pdf");
    rt.advance(500ms);
    EXPECT_EQ(handedNames(), (std::vector<std::string>{"waiting.pdf"}));
}

TEST_F(RemotePrintInbox, NothingHappensOnceItIsGone) {
    start();
    written("a.pdf");
    print.reset();
    rt.advance(1s);
    EXPECT_TRUE(handed.empty());
    EXPECT_TRUE(fs::exists(inbox / "a.pdf"));
}

}  // namespace
}  // namespace orvane
