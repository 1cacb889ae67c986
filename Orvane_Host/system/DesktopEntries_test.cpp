#include "Orvane_Host/system/DesktopEntries.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace orvane {
namespace {

namespace fs = std::filesystem;

struct DesktopEntriesTest : ::testing::Test {
    fs::path root = fs::temp_directory_path() /
                    ("orvane-entries-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path user = root / "home" / "applications";
    fs::path system = root / "usr" / "applications";

    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(user);
        fs::create_directories(system);
    }
    void TearDown() override { fs::remove_all(root); }

    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    static std::string app(const std::string& name, const std::string& extra = "") {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + extra;
    }
    DesktopEntries entries() const { return DesktopEntries({user, system}); }
};

TEST_F(DesktopEntriesTest, FindsByNameInAnyCaseOrByFileId) {
    write(system / "org.example.Notes.desktop", app("Notes"));
    write(system / "gedit.desktop", app("Text Editor", "StartupWMClass=Gedit\n"));
    write(system / "kde" / "konsole.desktop", app("Konsole"));
    write(system / "Café.desktop", app("Café Ünïcode"));

    struct Case {
        std::string asked;
        std::optional<std::string> id;
    } cases[] = {
        {"Notes", "org.example.Notes.desktop"},
        {"nOTES", "org.example.Notes.desktop"},
        {"text editor", "gedit.desktop"},
        {"gedit", "gedit.desktop"},
        {"GEDIT", "gedit.desktop"},
        {"kde-konsole", "kde-konsole.desktop"},
        {"café üNÏCODE", "Café.desktop"},
        {"Note", std::nullopt},
        {"", std::nullopt},
        // Names are compared with what the folders hold; never made into a path.
        {"kde/konsole", std::nullopt},
        {"../usr/applications/gedit", std::nullopt},
        {"/usr/share/applications/gedit", std::nullopt},
    };
    for (const auto& c : cases) {
        auto found = entries().find(c.asked);
        EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, c.id) << c.asked;
    }
    auto konsole = entries().find("Konsole");
    ASSERT_TRUE(konsole);
    EXPECT_EQ(konsole->file, system / "kde" / "konsole.desktop");
}

TEST_F(DesktopEntriesTest, HiddenEntriesAndOtherTypesAreNeverFound) {
    write(system / "hidden.desktop", app("Hidden App", "Hidden=true\n"));
    write(system / "nodisplay.desktop", app("Menu-less", "NoDisplay=true\n"));
    write(system / "link.desktop", "[Desktop Entry]\nType=Link\nName=A Link\nURL=https://x\n");
    // Keys of other groups (actions) do not count.
    write(system / "actions.desktop",
          "[Desktop Action new]\nName=New Window\n[Desktop Entry]\nType=Application\n"
          "Name=Browser\nExec=true\n");
    write(system / "notes.txt", app("Text File"));
    for (const char* name :
         {"Hidden App", "hidden", "Menu-less", "A Link", "New Window", "Text File", "notes"})
        EXPECT_FALSE(entries().find(name)) << name;
    EXPECT_TRUE(entries().find("Browser"));
    EXPECT_EQ(entries().list().size(), 1u);
}

TEST_F(DesktopEntriesTest, AnEarlierFolderHidesTheSameIdInALaterOne) {
    write(user / "editor.desktop", app("My Editor"));
    write(system / "editor.desktop", app("System Editor"));
    write(user / "player.desktop", app("Player", "Hidden=true\n"));
    write(system / "player.desktop", app("Player"));
    ASSERT_TRUE(entries().find("editor"));
    EXPECT_EQ(entries().find("editor")->file, user / "editor.desktop");
    EXPECT_FALSE(entries().find("System Editor"));
    // A user's hidden copy removes the application for that user.
    EXPECT_FALSE(entries().find("Player"));
}

TEST_F(DesktopEntriesTest, WindowClassByStartupClassElseFileId) {
    write(system / "org.gnome.TextEditor.desktop",
          app("Text Editor", "StartupWMClass=gnome-text-editor\n"));
    write(system / "firefox-esr.desktop", app("Firefox ESR"));
    EXPECT_EQ(entries().findByWindowClass("gnome-text-editor")->name, "Text Editor");
    EXPECT_EQ(entries().findByWindowClass("Firefox-esr")->name, "Firefox ESR");
    EXPECT_FALSE(entries().findByWindowClass("XTerm"));
    EXPECT_FALSE(entries().findByWindowClass(""));
}

TEST(DesktopEntries, StandardFoldersFollowTheDataDirectories) {
    const char* home = std::getenv("XDG_DATA_HOME");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::optional<std::string> oldHome = home ? std::optional<std::string>(home) : std::nullopt;
    std::optional<std::string> oldDirs = dirs ? std::optional<std::string>(dirs) : std::nullopt;
    ::setenv("XDG_DATA_HOME", "/h/data", 1);
    ::setenv("XDG_DATA_DIRS", "/a:relative:/b/", 1);
    auto folders = DesktopEntries::standardFolders();
    ::unsetenv("XDG_DATA_DIRS");
    auto defaults = DesktopEntries::standardFolders();
    if (oldHome)
        ::setenv("XDG_DATA_HOME", oldHome->c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
    if (oldDirs) ::setenv("XDG_DATA_DIRS", oldDirs->c_str(), 1);

    EXPECT_EQ(folders, (std::vector<fs::path>{"/h/data/applications", "/a/applications",
                                              "/b/applications"}));
    EXPECT_EQ(defaults,
              (std::vector<fs::path>{"/h/data/applications", "/usr/local/share/applications",
                                     "/usr/share/applications"}));
}

}  // namespace
}  // namespace orvane
