// The print queue's backend run as the print system runs it: arguments, the job on standard input
// or as a file, DEVICE_URI set, as root. A user of the test's own, seen only in a private mount
// namespace, stands in for the printing user, so nothing of the machine's is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/print/RemotePrint.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string backend = ORVANE_BINARY_DIR "/Orvane_Host/print/cups/orvane";
// One per test process, so temporary files of tests running side by side tell apart.
const uid_t testUid = 40000 + static_cast<uid_t>(::getpid() % 20000);
const std::string testUser = "orvane-print-test";

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

struct Result {
    std::optional<int> status;
    std::string output;
};

TEST(PrintBackend, WithoutArgumentsItNamesItsDevice) {
    if (!fs::exists(backend)) GTEST_SKIP() << "not built: " << backend;
    auto [status, out] = ChildProcess::run({backend}, "", 10s);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "direct orvane:/ \"Orvane\" \"Print with Orvane\"\n");
}

TEST(PrintBackend, UnknownUserCancelsTheJob) {
    if (!fs::exists(backend)) GTEST_SKIP() << "not built: " << backend;
    auto [status, out] = ChildProcess::run({"/usr/bin/env", "-i", "DEVICE_URI=orvane:/", backend,
                                            "12", "no-such-user-here", "Doc", "1", ""},
                                           "%PDF-1.4", 10s);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(out.rfind("ERROR: ", 0), 0u) << out;
}

class PrintBackendAsRoot : public ::testing::Test {
protected:
    fs::path dir, home, passwd, group;

    void SetUp() override {
        if (!fs::exists(backend)) GTEST_SKIP() << "not built: " << backend;
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: the backend changes user";
        if (::access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "no unshare";
        dir = fs::temp_directory_path() / ("orvane-print-backend-" + std::to_string(getpid()));
        fs::remove_all(dir);
        home = dir / "home";
        fs::create_directories(home);
        fs::permissions(dir, static_cast<fs::perms>(0755));
        ASSERT_EQ(::chown(home.c_str(), testUid, testUid), 0);
        passwd = dir / "passwd";
        group = dir / "group";
        spit(passwd, slurp("/etc/passwd") + testUser + ":x:" + std::to_string(testUid) + ":" +
                         std::to_string(testUid) + "::" + home.string() + ":/bin/sh\n");
        spit(group, slurp("/etc/group") + testUser + ":x:" + std::to_string(testUid) + ":\n");
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }

    fs::path script() const { return RemotePrint::scriptIn(home); }
    void install(const std::string& text) {
        fs::create_directories(script().parent_path());
        spit(script(), text);
        fs::permissions(script(), static_cast<fs::perms>(0755));
        for (fs::path p = script(); p != home; p = p.parent_path())
            ASSERT_EQ(::chown(p.c_str(), testUid, testUid), 0);
    }

    // Job 7 for the test user, with the print system's variables, in a namespace whose user
    // list holds the test user.
    Result run(const std::string& title, const std::string& stdinJob,
               std::optional<fs::path> file = std::nullopt) {
        std::vector<std::string> argv = {
            "/usr/bin/unshare",
            "-m",
            "--propagation",
            "private",
            "/bin/sh",
            "-c",
            "mount --bind \"$0\" /etc/passwd && mount --bind \"$1\" /etc/group && shift && "
            "exec env -i DEVICE_URI=orvane:/ PRINTER=Orvane TMPDIR=/var/spool/cups/tmp "
            "CONTENT_TYPE=application/pdf \"$@\"",
            passwd.string(),
            group.string(),
            backend,
            "7",
            testUser,
            title,
            "1",
            "job-uuid=urn:uuid:1 PageSize=A4"};
        if (file) argv.push_back(file->string());
        ChildProcess p(argv);
        p.writeStdin(stdinJob);
        p.closeStdin();
        auto status = p.waitExit(20s);
        return {status, p.output()};
    }

    std::vector<fs::path> tempLeftovers() const {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator("/tmp")) {
            struct stat st {};
            if (e.path().filename().string().rfind("orvane-print-", 0) == 0 &&
                ::stat(e.path().c_str(), &st) == 0 && st.st_uid == testUid)
                found.push_back(e.path());
        }
        return found;
    }
};

TEST_F(PrintBackendAsRoot, DocumentLandsThroughTheUsersScript) {
    fs::path inbox = home / "data" / "Orvane" / "Print";
    fs::create_directories(inbox);
    ASSERT_EQ(::chown(inbox.c_str(), testUid, testUid), 0);
    install(RemotePrint::scriptText(inbox));
    const std::string pdf = "%PDF-1.4\n" + std::string(200000, 'x') + "\n%%EOF\n";

    auto r = run("Q3/2026: report", pdf);
    EXPECT_EQ(r.status, 0) << r.output;
    fs::path landed = inbox / "Q3-2026- report.pdf";
    EXPECT_TRUE(slurp(landed) == pdf) << r.output;
    struct stat st {};
    ASSERT_EQ(::stat(landed.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, testUid);
    EXPECT_TRUE(tempLeftovers().empty());
}

TEST_F(PrintBackendAsRoot, ScriptRunsAsTheUserWithACleanEnvironmentAndACleanTitle) {
    install(
        "#!/bin/sh\n"
        "id -u > \"$HOME/uid\"; id -G > \"$HOME/groups\"; /usr/bin/env > \"$HOME/env\"\n"
        "printf '%s' \"$1\" > \"$HOME/title\"; printf '%s' \"$2\" > \"$HOME/options\"\n"
        "cp \"$3\" \"$HOME/copy.pdf\"\n");
    // The job as a file of the print system's, which the user could not open.
    fs::path job = dir / "d00007-001";
    spit(job, "%PDF-1.4 from a file");
    fs::permissions(job, static_cast<fs::perms>(0600));
    std::string e150;
    for (int i = 0; i < 150; ++i) e150 += "\xc3\xa9";  // 300 bytes of é

    auto r = run(std::string("Line\tone\x01") + e150, "", job);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(slurp(home / "uid"), std::to_string(testUid) + "\n");
    EXPECT_EQ(slurp(home / "groups"), std::to_string(testUid) + "\n");
    std::string env = slurp(home / "env");
    EXPECT_NE(env.find("HOME=" + home.string() + "\n"), std::string::npos) << env;
    EXPECT_NE(env.find("USER=" + testUser + "\n"), std::string::npos) << env;
    EXPECT_NE(env.find("PATH=/usr/bin:/bin\n"), std::string::npos) << env;
    for (const char* kept : {"DEVICE_URI", "PRINTER", "TMPDIR", "CONTENT_TYPE"})
        EXPECT_EQ(env.find(kept), std::string::npos) << kept << " reached the script";
    // Control characters blank, and cut to 200 bytes without splitting a character.
    std::string title = slurp(home / "title");
    EXPECT_EQ(title, "Line one " + e150.substr(0, 190));
    EXPECT_EQ(slurp(home / "options"), "job-uuid=urn:uuid:1 PageSize=A4");
    EXPECT_EQ(slurp(home / "copy.pdf"), "%PDF-1.4 from a file");
    EXPECT_TRUE(tempLeftovers().empty());
}

TEST_F(PrintBackendAsRoot, MissingOrFailingScriptCancelsTheJob) {
    struct Case {
        const char* name;
        std::optional<std::string> script;
    } cases[] = {{"no script", std::nullopt},
                 {"failing script", "#!/bin/sh\necho 'disk full' >&2\nexit 3\n"}};
    for (const auto& c : cases) {
        if (c.script) install(*c.script);
        auto r = run("Doc", "%PDF-1.4");
        EXPECT_EQ(r.status, 5) << c.name << ": " << r.output;
        EXPECT_NE(r.output.find("ERROR: "), std::string::npos) << c.name << ": " << r.output;
        EXPECT_TRUE(tempLeftovers().empty()) << c.name;
    }
}

}  // namespace
}  // namespace orvane
