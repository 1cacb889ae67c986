#include "OrvaneKit/base/SettingsStore.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Paths.h"

using namespace orvane;
namespace fs = std::filesystem;

namespace {
struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/orvane-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
};
}  // namespace

TEST(SettingsStore, ReadingsFollowThePlatformRules) {
    MemorySettingsStore s;
    s.registerDefaults({{"askBeforeConnecting", true}, {"quality", "balanced"}});
    EXPECT_TRUE(s.boolValue("askBeforeConnecting"));
    EXPECT_TRUE(s.contains("askBeforeConnecting"));
    EXPECT_FALSE(s.hasStoredValue("askBeforeConnecting"));
    s.setBool("askBeforeConnecting", false);
    EXPECT_FALSE(s.boolValue("askBeforeConnecting"));
    s.remove("askBeforeConnecting");
    EXPECT_TRUE(s.boolValue("askBeforeConnecting")) << "registered default reads through again";

    struct Case {
        SettingsStore::Value v;
        bool b;
        std::int64_t i;
    } cases[] = {{true, true, 1},  {0, false, 0},     {7, true, 7},
                 {"YES", true, 0}, {"true", true, 0}, {"1", true, 1},
                 {"no", false, 0}, {2.9, true, 2},    {nlohmann::json::array(), false, 0}};
    for (auto& c : cases) {
        s.set("k", c.v);
        EXPECT_EQ(s.boolValue("k"), c.b) << c.v.dump();
        EXPECT_EQ(s.integer("k"), c.i) << c.v.dump();
    }
    EXPECT_EQ(s.integer("missing"), 0);
    Bytes blob{0, 1, 2, 250};
    s.setData("blob", blob);
    EXPECT_EQ(s.data("blob"), blob);
    s.setStringArray("list", {"a", "b"});
    EXPECT_EQ(s.stringArray("list"), (std::vector<std::string>{"a", "b"}));
}

TEST(SettingsStore, FileIsSharedBetweenInstancesAndPrivate) {
    TempDir dir;
    auto path = dir.path / "orvane-host" / "defaults.json";
    {
        FileSettingsStore a(path);
        a.setInteger("idleTimeoutMinutes", 15);
        a.setString("quality", "sharp/fast");
    }
    FileSettingsStore b(path);
    EXPECT_EQ(b.integer("idleTimeoutMinutes"), 15);
    EXPECT_EQ(b.string("quality"), "sharp/fast");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    FileSettingsStore c(path);
    c.setBool("shareSound", false);
    EXPECT_TRUE(b.hasStoredValue("shareSound"))
        << "another instance's write is seen on the next read";
}

TEST(SettingsStore, FileIsNeverPartialWhenTheWriterDies) {
    TempDir dir;
    auto path = dir.path / "defaults.json";
    std::string big(200000, 'x');
    {
        FileSettingsStore s(path);
        s.setString("value", "old");
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        pid_t child = fork();
        if (child == 0) {
            FileSettingsStore s(path);
            s.setString("value", big);
            _exit(0);
        }
        usleep(static_cast<useconds_t>(attempt * 150));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        FileSettingsStore reader(path);
        auto v = reader.string("value");
        ASSERT_TRUE(v == "old" || v == big) << "attempt " << attempt;
    }
}

TEST(Logger, PrivateArgumentsAreRedactedInEverySink) {
    TempDir dir;
    auto memory = std::make_shared<MemoryLogSink>();
    auto file = std::make_shared<FileLogSink>((dir.path / "log.jsonl").string());
    Log::addSink(memory);
    Log::addSink(file);
    Logger log("orvane.test", "redaction");
    log.info("peer {} sent code {}", "iPad", priv(std::string("ABC-DEF")));
    Log::removeSink(memory);
    Log::removeSink(file);

    ASSERT_EQ(memory->records().size(), 1u);
    EXPECT_EQ(memory->records()[0].message, "peer iPad sent code <private>");
    std::ifstream in(dir.path / "log.jsonl");
    std::string line;
    std::getline(in, line);
    auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j["message"], "peer iPad sent code <private>");
    EXPECT_EQ(j["category"], "redaction");
    EXPECT_EQ(j["subsystem"], "orvane.test");
    EXPECT_EQ(j["level"], "info");
    EXPECT_EQ(line.find("ABC-DEF"), std::string::npos);
}

TEST(Paths, FollowXdgVariables) {
    TempDir dir;
    std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("XDG_DATA_HOME", (dir.path / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir.path / "config").c_str(), 1);
    setenv("HOME", dir.path.c_str(), 1);
    EXPECT_EQ(Paths::applicationSupport(), dir.path / "data");
    EXPECT_EQ(Paths::downloads(), dir.path / "Downloads");
    fs::create_directories(dir.path / "config");
    std::ofstream(dir.path / "config" / "user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n";
    EXPECT_EQ(Paths::downloads(), dir.path / "Fetched");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", oldHome.c_str(), 1);
}
