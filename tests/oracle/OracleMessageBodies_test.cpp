// Message bodies cross-checked with node's JSON implementation (tests/oracle/message-bodies.mjs):
// node checks the shape of what we write, and we read what JSON.stringify writes.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "OrvaneKit/protocol/testing/RandomMessages.h"

namespace orvane {
namespace {

const std::string kScript = std::string(ORVANE_SOURCE_DIR) + "/tests/oracle/message-bodies.mjs";

struct BodyType {
    // Random values written by our encoder.
    std::function<std::string(testing::RandomMessages&)> write;
    // Read a body; what our encoder writes back for the value, or nothing.
    std::function<std::optional<std::string>(std::string_view)> readBack;
};

template <class T>
BodyType bodyType() {
    return {[](testing::RandomMessages& r) {
                return json::encodeString(r.make<T>()).value_or("<fails>");
            },
            [](std::string_view body) -> std::optional<std::string> {
                auto v = json::decode<T>(body);
                if (!v) return std::nullopt;
                return json::encodeString(*v);
            }};
}

const std::map<std::string, BodyType>& bodyTypes() {
    static const std::map<std::string, BodyType> types = {
        {"Hello", bodyType<Hello>()},
        {"HelloAck", bodyType<HelloAck>()},
        {"DisplayInfo", bodyType<DisplayInfo>()},
        {"DisplayList", bodyType<DisplayList>()},
        {"SelectDisplay", bodyType<SelectDisplay>()},
        {"SharerInfo", bodyType<SharerInfo>()},
        {"Clipboard", bodyType<Clipboard>()},
        {"Bye", bodyType<Bye>()},
        {"FileOffer", bodyType<FileOffer>()},
        {"FileEnd", bodyType<FileEnd>()},
        {"ChatMessage", bodyType<ChatMessage>()},
        {"SessionPermissions", bodyType<SessionPermissions>()},
        {"HostStatus", bodyType<HostStatus>()},
        {"ScreenText", bodyType<ScreenText>()},
        {"InputEvent", bodyType<InputEvent>()},
        {"MacCommand", bodyType<MacCommand>()},
        {"AnnotationStroke", bodyType<AnnotationStroke>()},
        {"AnnotationEvent", bodyType<AnnotationEvent>()},
        {"HostAction", bodyType<HostAction>()},
        {"MouseButton", bodyType<MouseButton>()},
        {"ClientPlatform", bodyType<ClientPlatform>()},
        {"ClientRole", bodyType<ClientRole>()},
    };
    return types;
}

// Runs node with `args`; its standard output and exit status.
std::pair<std::string, int> runNode(const std::string& args) {
    std::string command = "node " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {"popen failed", -1};
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        auto tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

class OracleMessageBodies : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("node --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "node is not installed";
    }
};

TEST_F(OracleMessageBodies, NodeFindsTheShapesInWhatWeWrite) {
    auto dir =
        std::filesystem::temp_directory_path() / ("orvane-bodies-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto file = dir / "ours.tsv";
    {
        std::ofstream out(file, std::ios::binary);
        testing::RandomMessages random(20260101);
        for (const auto& [name, type] : bodyTypes())
            for (int i = 0; i < 60; ++i) out << name << '\t' << type.write(random) << '\n';
    }
    auto [output, status] = runNode(kScript + " check " + file.string());
    std::filesystem::remove_all(dir);
    EXPECT_EQ(status, 0) << output;
}

TEST_F(OracleMessageBodies, WeReadWhatNodeWrites) {
    auto [output, status] = runNode(kScript + " samples");
    ASSERT_EQ(status, 0) << output;
    std::istringstream lines(output);
    std::string line;
    int accepted = 0, refused = 0;
    while (std::getline(lines, line)) {
        auto f = splitTabs(line);
        ASSERT_EQ(f.size(), 4u) << line;
        auto it = bodyTypes().find(f[0]);
        ASSERT_NE(it, bodyTypes().end()) << line;
        auto back = it->second.readBack(f[2]);
        if (f[1] == "1") {
            ++accepted;
            ASSERT_TRUE(back) << "refused " << f[0] << " " << f[2];
            EXPECT_EQ(json::parse(std::string_view(*back)), json::parse(std::string_view(f[3])))
                << f[0] << " " << f[2] << "\n ours: " << *back << "\n want: " << f[3];
        } else {
            ++refused;
            EXPECT_FALSE(back) << "accepted " << f[0] << " " << f[2];
        }
    }
    EXPECT_GT(accepted, 50);
    EXPECT_GT(refused, 200);
}

}  // namespace
}  // namespace orvane
