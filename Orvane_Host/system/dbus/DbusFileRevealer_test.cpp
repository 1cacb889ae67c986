#include "Orvane_Host/system/dbus/DbusFileRevealer.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Orvane_Host/system/testing/FakeWorkspace.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// Stands in for the desktop's file manager and records what it is asked to show.
class FakeFileManager {
public:
    explicit FakeFileManager(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0) return;
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("ShowItems", "ass", "", &FakeFileManager::onShow, 0),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/FileManager1",
                                 "org.freedesktop.FileManager1", vtable, this);
        ready_ = sd_bus_request_name(bus_, "org.freedesktop.FileManager1", 0) >= 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                sd_bus_wait(bus_, 20'000);
            }
        });
    }
    ~FakeFileManager() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }
    std::vector<std::string> waitForShown() {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 5s, [&] { return !shown_.empty(); });
        return shown_;
    }

private:
    static int onShow(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeFileManager*>(userdata);
        std::vector<std::string> uris;
        sd_bus_message_enter_container(m, 'a', "s");
        const char* uri;
        while (sd_bus_message_read(m, "s", &uri) > 0) uris.push_back(uri);
        sd_bus_message_exit_container(m);
        {
            std::lock_guard lock(self->mutex_);
            self->shown_ = uris;
        }
        self->cv_.notify_all();
        return sd_bus_reply_method_return(m, "");
    }

    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> shown_;
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
    EXPECT_EQ(
        manager.waitForShown(),
        (std::vector<std::string>{"file:///home/ann/Downloads/Orvane/report%202%20%231.pdf"}));
    EXPECT_EQ(workspace.opened().size(), 1u);

    // No session bus at all: the folder opens.
    DbusFileRevealer nowhere(workspace, "unix:path=/nonexistent/bus");
    nowhere.reveal(file);
    EXPECT_EQ(workspace.opened().size(), 2u);
}

}  // namespace
}  // namespace orvane
