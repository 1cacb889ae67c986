#include "Orvane_Host/system/dbus/DbusFileRevealer.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

#include "Orvane_Host/system/testing/FakeBusService.h"
#include "Orvane_Host/system/testing/FakeWorkspace.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

// Stands in for the desktop's file manager and records what it is asked to show.
class FakeFileManager {
public:
    explicit FakeFileManager(const std::string& address)
        : service_(address, "org.freedesktop.FileManager1",
                   {{"/org/freedesktop/FileManager1", "org.freedesktop.FileManager1", vtable}},
                   this) {}
    bool ready() const { return service_.ready(); }
    // The URIs of each ShowItems call.
    BusCalls<std::vector<std::string>> shown;

private:
    static int onShow(sd_bus_message* m, void* userdata, sd_bus_error*) {
        std::vector<std::string> uris;
        sd_bus_message_enter_container(m, 'a', "s");
        const char* uri;
        while (sd_bus_message_read(m, "s", &uri) > 0) uris.push_back(uri);
        sd_bus_message_exit_container(m);
        static_cast<FakeFileManager*>(userdata)->shown.add(std::move(uris));
        return sd_bus_reply_method_return(m, "");
    }
    static constexpr sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("ShowItems", "ass", "", &FakeFileManager::onShow, 0),
        SD_BUS_VTABLE_END,
    };

    FakeBusService service_;
};

TEST(DbusFileRevealer, TheFileManagerShowsTheFileElseItsFolderOpens) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeWorkspace workspace;
    DbusFileRevealer revealer(workspace, bus.address());
    const std::filesystem::path file = "/home/ann/Downloads/Orvane/report 2 #1.pdf";

    revealer.reveal(file);
    EXPECT_EQ(workspace.opened(), (std::vector<std::string>{"file:///home/ann/Downloads/Orvane"}));

    FakeFileManager manager(bus.address());
    ASSERT_TRUE(manager.ready());
    revealer.reveal(file);
    EXPECT_EQ(manager.shown.waitFor(1),
              (std::vector<std::vector<std::string>>{
                  {"file:///home/ann/Downloads/Orvane/report%202%20%231.pdf"}}));
    EXPECT_EQ(workspace.opened().size(), 1u);

    // No session bus at all: the folder opens.
    DbusFileRevealer nowhere(workspace, "unix:path=/nonexistent/bus");
    nowhere.reveal(file);
    EXPECT_EQ(workspace.opened().size(), 2u);
}

}  // namespace
}  // namespace orvane
