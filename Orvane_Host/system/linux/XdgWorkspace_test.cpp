#include "Orvane_Host/system/linux/XdgWorkspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "OrvaneKit/base/Uuid.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

TEST(XdgWorkspace, HandsTheAddressToTheOpenerAsOneArgument) {
    fs::path dir = fs::temp_directory_path() / ("orvane-workspace-" + Uuid::random().string());
    fs::create_directories(dir);
    fs::path opener = dir / "opener", seen = dir / "seen";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" << seen.string()
                          << ".part' && mv '" << seen.string() << ".part' '" << seen.string()
                          << "'\n";
    fs::permissions(opener, fs::perms::owner_all);

    struct Case {
        const char* url;
        bool started;
        const char* seen;
    } cases[] = {
        {"https://example.com/a b?x=1&y=$(id)", true, "1|https://example.com/a b?x=1&y=$(id)|"},
        {"-h", false, nullptr},
        {"", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        fs::remove(seen);
        EXPECT_EQ(XdgWorkspace(opener.string()).openURL(c.url), c.started);
        if (!c.seen) continue;
        for (int i = 0; i < 500 && !fs::exists(seen); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(seen);
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(got, c.seen);
    }
    EXPECT_FALSE(XdgWorkspace((dir / "missing").string()).openURL("https://example.com/"));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace orvane
