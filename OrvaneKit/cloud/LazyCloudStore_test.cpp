#include "OrvaneKit/cloud/LazyCloudStore.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/cloud/CloudAccountFile.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

const CloudZoneID zone{"Kelsap"};

CloudRecord note(const std::string& name) {
    CloudRecord r;
    r.type = "Note";
    r.id = {name, zone};
    r.set("text", std::string(name));
    return r;
}

// A backend that is out of reach for the first `failures` attempts.
struct Backend {
    explicit Backend(int failures_) : failures(failures_) {}
    std::shared_ptr<CloudStore> open() {
        ++attempts;
        if (attempts <= failures)
            throw CloudError(CloudErrorCode::networkUnavailable,
                             "The cloud server failed (attempt " + std::to_string(attempts) + ").");
        return store;
    }
    // A lazy store as it is made: right after a first attempt failed.
    std::shared_ptr<LazyCloudStore> lazy(const Clock& clock) {
        try {
            open();
        } catch (const CloudError& e) {
            return std::make_shared<LazyCloudStore>([this] { return open(); }, e, clock);
        }
        ADD_FAILURE() << "the first attempt opened";
        return nullptr;
    }
    int failures;
    int attempts = 0;
    std::shared_ptr<FakeCloudStore> store = std::make_shared<FakeCloudStore>();
};

// The error a call throws, or none.
std::optional<CloudError> failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CloudError& e) {
        return e;
    }
    return std::nullopt;
}

TEST(LazyCloudStore, FailsWithTheReasonUntilTheBackendOpensThenForwardsEveryCall) {
    FakeClock clock;
    Backend backend(2);
    auto lazy = backend.lazy(clock);
    // Taken, and the handler set, before the backend opens.
    auto early = lazy->database(CloudScope::privateScope);
    asio::io_context io;
    int pushes = 0;
    lazy->setPushHandler(io.get_executor(), [&] { ++pushes; });

    const std::vector<std::pair<const char*, std::function<void()>>> calls{
        {"accountStatus", [&] { lazy->accountStatus(); }},
        {"currentUserRecordName", [&] { lazy->currentUserRecordName(); }},
        {"addShareParticipant", [&] { lazy->addShareParticipant(zone, "_other"); }},
        {"acceptShare", [&] { lazy->acceptShare("orvane-share://x/y"); }},
        {"modifyZones", [&] { early->modifyZones({zone}, {}); }},
        {"allZones", [&] { early->allZones(); }},
        {"modifySubscriptions", [&] { early->modifySubscriptions({{"s"}}, {}); }},
        {"allSubscriptions", [&] { early->allSubscriptions(); }},
        {"modifyRecords",
         [&] { early->modifyRecords({note("a")}, {}, CloudSavePolicy::allKeys, true); }},
        {"fetchRecord", [&] { early->fetchRecord(note("a").id); }},
        {"fetchZoneChanges", [&] { early->fetchZoneChanges(zone, std::nullopt, 0); }},
        {"shared database", [&] { lazy->database(CloudScope::sharedScope)->allZones(); }},
    };
    // Within the interval every call fails with the first reason and nothing is tried again.
    for (const auto& [name, call] : calls) {
        auto e = failureOf(call);
        ASSERT_TRUE(e) << name;
        EXPECT_EQ(e->code, CloudErrorCode::networkUnavailable) << name;
        EXPECT_STREQ(e->what(), "The cloud server failed (attempt 1).") << name;
    }
    EXPECT_EQ(backend.attempts, 1);

    // Once the interval is over one call tries again; the next ones have its reason.
    clock.advance(LazyCloudStore::retryInterval);
    for (int i = 0; i < 3; ++i) {
        auto e = failureOf([&] { early->allZones(); });
        ASSERT_TRUE(e);
        EXPECT_STREQ(e->what(), "The cloud server failed (attempt 2).");
    }
    EXPECT_EQ(backend.attempts, 2);
    clock.advance(LazyCloudStore::retryInterval - 1ms);
    EXPECT_TRUE(failureOf([&] { lazy->accountStatus(); }));
    EXPECT_EQ(backend.attempts, 2);

    // Open: the early database and the store reach the backend, opened once.
    clock.advance(1ms);
    early->modifyZones({zone}, {});
    EXPECT_EQ(backend.attempts, 3);
    EXPECT_EQ(lazy->accountStatus(), CloudAccountStatus::available);
    EXPECT_EQ(lazy->currentUserRecordName(), backend.store->currentUserRecordName());
    EXPECT_EQ(early->allZones(), std::vector<CloudZoneID>{zone});
    early->modifySubscriptions({{"kelsap-changes"}}, {});
    EXPECT_EQ(early->allSubscriptions(), std::vector<CloudSubscription>{{"kelsap-changes"}});
    auto saved = early->modifyRecords({note("a")}, {}, CloudSavePolicy::allKeys, true);
    ASSERT_EQ(saved.saved.size(), 1u);
    EXPECT_FALSE(saved.saved[0].error);
    EXPECT_EQ(backend.store->database(CloudScope::privateScope)->fetchRecord(note("a").id).type,
              "Note");
    EXPECT_EQ(early->fetchRecord(note("a").id).changeTag, saved.saved[0].record->changeTag);
    EXPECT_EQ(early->fetchZoneChanges(zone, std::nullopt, 0).changed.size(), 1u);

    // The handler set before the opening hears the owner's other device.
    backend.store->otherDevice()
        ->database(CloudScope::privateScope)
        ->modifyRecords({note("b")}, {}, CloudSavePolicy::allKeys, true);
    io.poll();
    EXPECT_EQ(pushes, 1);
    // Set again after the opening, it still reaches the backend: an empty one stops pushes.
    lazy->setPushHandler({}, {});
    backend.store->otherDevice()
        ->database(CloudScope::privateScope)
        ->modifyRecords({note("c")}, {}, CloudSavePolicy::allKeys, true);
    io.restart();
    io.poll();
    EXPECT_EQ(pushes, 1);

    // Shares go through too: the owner adds a person, who accepts.
    CloudRecord share;
    share.type = cloudShareType;
    share.id = {cloudZoneShareName, zone};
    share.set("title", std::string("Ops"));
    auto shared = early->modifyRecords({share}, {}, CloudSavePolicy::changedKeys, true);
    ASSERT_TRUE(shared.saved[0].record);
    const auto url = std::get<std::string>(*shared.saved[0].record->get("url"));
    auto other = backend.store->otherPerson("_other");
    lazy->addShareParticipant(zone, "_other");
    EXPECT_EQ(other->acceptShare(url).name, zone.name);
    LazyCloudStore otherLazy([other] { return other; }, cloudError(3), clock, 0s);
    EXPECT_EQ(otherLazy.acceptShare(url).owner, backend.store->currentUserRecordName());
    EXPECT_EQ(otherLazy.database(CloudScope::sharedScope)->allZones().size(), 1u);
}

// A caller that comes while another thread opens waits for that attempt and gets its result.
TEST(LazyCloudStore, ACallDuringAnOpeningWaitsForItInsteadOfOpeningAgain) {
    FakeClock clock;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    int attempts = 0;
    auto backend = std::make_shared<FakeCloudStore>();
    LazyCloudStore lazy(
        [&]() -> std::shared_ptr<CloudStore> {
            std::unique_lock lock(m);
            ++attempts;
            entered = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
            return backend;
        },
        cloudError(CloudErrorCode::networkUnavailable), clock, 0s);
    auto first = std::async(std::launch::async, [&] { return lazy.currentUserRecordName(); });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    auto second = std::async(std::launch::async, [&] { return lazy.accountStatus(); });
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    EXPECT_EQ(first.get(), backend->currentUserRecordName());
    EXPECT_EQ(second.get(), CloudAccountStatus::available);
    EXPECT_EQ(attempts, 1);
}

}  // namespace
