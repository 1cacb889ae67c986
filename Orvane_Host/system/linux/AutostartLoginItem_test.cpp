#include "Orvane_Host/system/linux/AutostartLoginItem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "OrvaneKit/files/testing/ScratchFolder.h"

namespace orvane {
namespace {

TEST(AutostartLoginItem, RegisterWritesTheEntryAndUnregisterRemovesIt) {
    ScratchFolder dir;
    AutostartLoginItem item("/opt/orvane/bin/orvane-host", dir / "autostart");
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
    EXPECT_EQ(item.unregisterItem(), std::nullopt);  // nothing there is no failure

    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItem::Status::enabled);
    EXPECT_EQ(toString(ScratchFolder::read(item.entry())),
              "[Desktop Entry]\nType=Application\nName=Orvane Host\n"
              "Exec=/opt/orvane/bin/orvane-host\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(dir.names("autostart"), std::vector<std::string>{"orvane-host.desktop"});

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
}

TEST(AutostartLoginItem, TheEntryIsOneTheDesktopAccepts) {
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    ScratchFolder dir;
    AutostartLoginItem item("/opt/orvane host/bin/orvane-host", dir / "autostart");
    ASSERT_EQ(item.registerItem(), std::nullopt);
    std::string command = "desktop-file-validate '" + item.entry().string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(AutostartLoginItem, SwitchedOffEntriesAreNotRegistered) {
    struct Case {
        std::string text;
        LoginItem::Status status;
    } cases[] = {
        {"[Desktop Entry]\nExec=x\n", LoginItem::Status::enabled},
        {"[Desktop Entry]\nHidden=true\n", LoginItem::Status::notRegistered},
        {"[Desktop Entry]\nHidden = true \n", LoginItem::Status::notRegistered},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", LoginItem::Status::notRegistered},
        {"[Desktop Entry]\nHidden=false\n", LoginItem::Status::enabled},
        {"[Other Group]\nHidden=true\n[Desktop Entry]\nExec=x\n", LoginItem::Status::enabled},
    };
    ScratchFolder dir;
    AutostartLoginItem item("/usr/bin/orvane-host", dir.path);
    for (const auto& c : cases) {
        std::ofstream(item.entry()) << c.text;
        EXPECT_EQ(item.status(), c.status) << c.text;
    }
}

TEST(AutostartLoginItem, ExecValuesAreQuotedAndEscaped) {
    struct Case {
        std::string path, value;
    } cases[] = {
        {"/usr/bin/orvane-host", "/usr/bin/orvane-host"},
        {"/home/a b/orvane-host", "\"/home/a b/orvane-host\""},
        {"/opt/100%/host", "/opt/100%%/host"},
        {"/opt/$x`y\"z/host", "\"/opt/\\\\$x\\\\`y\\\\\"z/host\""},
        {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
    };
    for (const auto& c : cases) EXPECT_EQ(AutostartLoginItem::execValue(c.path), c.value) << c.path;
}

TEST(AutostartLoginItem, UnwritableFolderIsReported) {
    ScratchFolder dir;
    dir.write("config", 1);  // a file where the folder should be
    AutostartLoginItem item("/usr/bin/orvane-host", dir / "config" / "autostart");
    auto error = item.registerItem();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("could not be written"), std::string::npos);
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
}

}  // namespace
}  // namespace orvane
