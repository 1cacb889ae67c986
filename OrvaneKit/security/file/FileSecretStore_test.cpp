#include "OrvaneKit/security/file/FileSecretStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "OrvaneKit/security/Keychain.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

class FileSecretStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("orvane-keychain-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        file_ = root_ / "orvane" / "keychain.json";
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string contents() const {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static unsigned modeOf(const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
    }

    fs::path root_;
    fs::path file_;
};

const KeychainItemId kCode{"com.nimbrel.kelsap", "host.accessCode", std::nullopt};
const KeychainItemId kBroadcast{"com.nimbrel.kelsap", "broadcast.accessCode",
                                "group.com.nimbrel.kelsap"};

TEST_F(FileSecretStoreTest, LayoutModesAndRoundTrip) {
    FileSecretStore store(file_);
    EXPECT_EQ(store.read(kCode).status, KeychainStatus::notFound);
    EXPECT_FALSE(fs::exists(root_ / "orvane"));  // reading creates nothing

    EXPECT_EQ(store.add(kCode, "ABCD/EFGH", false), KeychainStatus::success);
    EXPECT_EQ(store.add(kBroadcast, "WXYZ", false), KeychainStatus::success);
    EXPECT_EQ(modeOf(file_), 0600u);
    EXPECT_EQ(modeOf(root_ / "orvane"), 0700u);

    const auto doc = nlohmann::json::parse(contents());
    EXPECT_EQ(doc, nlohmann::json::parse(R"({"version":1,"items":[
        {"service":"com.nimbrel.kelsap","account":"host.accessCode","group":null,"synchronizable":false,"value":"ABCD/EFGH"},
        {"service":"com.nimbrel.kelsap","account":"broadcast.accessCode","group":"group.com.nimbrel.kelsap",
         "synchronizable":false,"value":"WXYZ"}]})"));

    // Another store on the same file (another process) sees the same items.
    FileSecretStore other(file_);
    EXPECT_EQ(other.read(kCode).value, "ABCD/EFGH");
    EXPECT_EQ(other.read({kBroadcast.service, kBroadcast.account, std::nullopt}).status,
              KeychainStatus::notFound);
    EXPECT_EQ(other.add(kCode, "again", false), KeychainStatus::duplicate);
    EXPECT_EQ(other.replace(kCode, "new", false), KeychainStatus::success);
    EXPECT_EQ(store.read(kCode).value, "new");
    EXPECT_EQ(store.remove(kCode), KeychainStatus::success);
    EXPECT_EQ(store.remove(kCode), KeychainStatus::notFound);
    EXPECT_EQ(other.read(kBroadcast).value, "WXYZ");
    EXPECT_EQ(modeOf(file_), 0600u);
}

TEST_F(FileSecretStoreTest, SynchronizableFallsBackToDeviceOnly) {
    FileSecretStore store(file_);
    EXPECT_EQ(store.add(kCode, "code", true), KeychainStatus::refused);
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_TRUE(Keychain::set("code", kCode.account, kCode.service, true, std::nullopt, store));
    EXPECT_EQ(Keychain::read(kCode.account, kCode.service, std::nullopt, store), "code");
    EXPECT_FALSE(nlohmann::json::parse(contents())["items"][0]["synchronizable"].get<bool>());
}

// A file this store cannot understand is never rewritten, so whatever it holds survives.
TEST_F(FileSecretStoreTest, UnreadableFileIsLeftAlone) {
    fs::create_directories(file_.parent_path());
    for (const std::string bad :
         {std::string("{not json"), std::string(R"({"version":2,"items":[]})"),
          std::string(R"({"version":1,"items":[{"service":"s"}]})")}) {
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << bad;
        FileSecretStore store(file_);
        EXPECT_EQ(store.read(kCode).status, KeychainStatus::ioError) << bad;
        EXPECT_EQ(store.add(kCode, "x", false), KeychainStatus::ioError);
        EXPECT_EQ(store.replace(kCode, "x", false), KeychainStatus::ioError);
        EXPECT_EQ(store.remove(kCode), KeychainStatus::ioError);
        EXPECT_FALSE(Keychain::set("x", kCode.account, kCode.service, false, std::nullopt, store));
        EXPECT_EQ(store.problem(), FileSecretStore::Problem::unparsable) << bad;
        EXPECT_EQ(contents(), bad);
    }
    // Without read permission it is another problem, with another remedy.
    if (::geteuid() != 0) {
        fs::permissions(file_, fs::perms::none);
        EXPECT_EQ(FileSecretStore(file_).problem(), FileSecretStore::Problem::unreadable);
        fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write);
    }
    fs::remove(file_);
    EXPECT_EQ(FileSecretStore(file_).problem(), FileSecretStore::Problem::none);
}

// Writers in separate store objects (as in separate processes) lose none of each other's items.
TEST_F(FileSecretStoreTest, ConcurrencyWritersLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kEach = 8;
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            FileSecretStore store(file_);
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(
                    store.add({"svc", std::to_string(w) + "." + std::to_string(i), std::nullopt},
                              "v", false),
                    KeychainStatus::success);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(nlohmann::json::parse(contents())["items"].size(),
              static_cast<std::size_t>(kWriters * kEach));
}

}  // namespace
}  // namespace orvane
