#include "Orvane_Host/system/MachineName.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace orvane {
namespace {

namespace fs = std::filesystem;

class MachineNameTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("orvane-machine-name-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path write(const std::string& text) {
        auto p = dir_ / "machine-info";
        std::ofstream(p) << text;
        return p;
    }
    fs::path dir_;
};

TEST_F(MachineNameTest, PrettyHostnameAsTheSettingsToolsWriteIt) {
    struct Case {
        std::string file;
        std::optional<std::string> pretty;
    } cases[] = {
        {"PRETTY_HOSTNAME=\"Ann's Laptop\"\n", "Ann's Laptop"},
        {"PRETTY_HOSTNAME='Ann \"Work\" Box'\n", "Ann \"Work\" Box"},
        {"PRETTY_HOSTNAME=\"Cost \\$5 \\\"deal\\\" a\\\\b\"\n", "Cost $5 \"deal\" a\\b"},
        {"PRETTY_HOSTNAME=Ann\\ Box   \n", "Ann Box"},
        {"PRETTY_HOSTNAME=\"Zoë’s Mac\"", "Zoë’s Mac"},  // no final newline
        {"# comment\nICON_NAME=computer-laptop\n  PRETTY_HOSTNAME = \"Spaced\"\nCHASSIS=laptop\n",
         "Spaced"},
        {"PRETTY_HOSTNAME=\"First\"\nPRETTY_HOSTNAME=\"Second\"\n", "Second"},
        {"PRETTY_HOSTNAME_EXTRA=\"No\"\nXPRETTY_HOSTNAME=\"No\"\n", std::nullopt},
        {"PRETTY_HOSTNAME=\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"", std::nullopt},
    };
    for (auto& c : cases) EXPECT_EQ(MachineName::prettyHostname(write(c.file)), c.pretty) << c.file;
}

TEST_F(MachineNameTest, FallsBackToTheHostNameThenToMac) {
    auto some = [] { return std::optional<std::string>("annbox"); };
    auto none = [] { return std::optional<std::string>(); };
    auto empty = [] { return std::optional<std::string>(""); };
    auto info = write("PRETTY_HOSTNAME=\"Ann's Laptop\"\n");
    EXPECT_EQ(MachineName::displayName(info, some), "Ann's Laptop");
    EXPECT_EQ(MachineName::displayName(dir_ / "missing", some), "annbox");
    EXPECT_EQ(MachineName::displayName(dir_ / "missing", none), "Mac");
    EXPECT_EQ(MachineName::displayName(dir_ / "missing", empty), "Mac");
    EXPECT_EQ(MachineName::displayName(dir_ / "missing", nullptr), "Mac");
    EXPECT_FALSE(macDisplayName().empty());
}

}  // namespace
}  // namespace orvane
