#include "OrvaneKit/cloud/LazyCloudStore.h"

#include <condition_variable>
#include <mutex>
#include <optional>

namespace orvane {

struct LazyCloudStore::State {
    State(Opener o, CloudError failure, const Clock& c, std::chrono::nanoseconds i)
        : open(std::move(o)),
          clock(c),
          interval(i),
          lastFailure(std::move(failure)),
          lastAttempt(c.monoNow()) {}

    // The backend, opening it when it is time to try again; throws why it is not open.
    std::shared_ptr<CloudStore> backend() {
        std::unique_lock lock(mutex);
        // Callers that come while another opens wait for that attempt instead of making theirs.
        if (opening) {
            const auto attempt = attempts;
            settled.wait(lock, [&] { return !opening && attempts != attempt; });
        }
        if (store) return store;
        if (clock.monoNow() - lastAttempt < interval) throw lastFailure;
        opening = true;
        lastAttempt = clock.monoNow();
        lock.unlock();

        std::shared_ptr<CloudStore> opened;
        std::optional<CloudError> failure;
        try {
            opened = open();
            if (!opened)
                failure =
                    CloudError(CloudErrorCode::internalError, "The cloud store did not open.");
        } catch (const CloudError& e) {
            failure = e;
        } catch (const std::exception& e) {
            failure = CloudError(CloudErrorCode::internalError, e.what());
        } catch (...) {
            failure = CloudError(CloudErrorCode::internalError, "The cloud store did not open.");
        }
        // The handler goes on before the store is shown to anyone; one set meanwhile wins.
        std::uint64_t handed = 0;
        lock.lock();
        while (opened && handed != pushGeneration) {
            handed = pushGeneration;
            auto ex = pushExecutor;
            auto handler = pushHandler;
            lock.unlock();
            try {
                opened->setPushHandler(ex, std::move(handler));
            } catch (const std::exception&) {
                // Pushes only hasten what the callers' own polling finds.
            }
            lock.lock();
        }
        if (opened)
            store = std::move(opened);
        else
            lastFailure = std::move(*failure);
        opening = false;
        ++attempts;
        settled.notify_all();
        if (!store) throw lastFailure;
        return store;
    }

    const Opener open;
    const Clock& clock;
    const std::chrono::nanoseconds interval;
    std::mutex mutex;
    std::condition_variable settled;
    std::shared_ptr<CloudStore> store;
    CloudError lastFailure;
    MonoTime lastAttempt;
    bool opening = false;
    std::uint64_t attempts = 0;
    // The handler as last set; the generation counts the settings (0: never set).
    asio::any_io_executor pushExecutor;
    std::function<void()> pushHandler;
    std::uint64_t pushGeneration = 0;
};

namespace {

// Takes the scope's database of the backend anew for each request, so one handed out before
// the backend opened works once it has.
class LazyDatabase final : public CloudDatabase {
public:
    LazyDatabase(std::shared_ptr<LazyCloudStore::State> state, CloudScope scope)
        : state_(std::move(state)), scope_(scope) {}

    void modifyZones(const std::vector<CloudZoneID>& save,
                     const std::vector<CloudZoneID>& remove) override {
        db()->modifyZones(save, remove);
    }
    std::vector<CloudZoneID> allZones() override { return db()->allZones(); }
    void modifySubscriptions(const std::vector<CloudSubscription>& save,
                             const std::vector<std::string>& remove) override {
        db()->modifySubscriptions(save, remove);
    }
    std::vector<CloudSubscription> allSubscriptions() override { return db()->allSubscriptions(); }
    CloudModifyResult modifyRecords(const std::vector<CloudRecord>& save,
                                    const std::vector<CloudRecordID>& remove,
                                    CloudSavePolicy policy, bool atomic) override {
        return db()->modifyRecords(save, remove, policy, atomic);
    }
    CloudRecord fetchRecord(const CloudRecordID& id) override { return db()->fetchRecord(id); }
    CloudZoneChanges fetchZoneChanges(const CloudZoneID& zone,
                                      const std::optional<std::string>& token,
                                      std::size_t limit) override {
        return db()->fetchZoneChanges(zone, token, limit);
    }

private:
    std::shared_ptr<CloudDatabase> db() { return state_->backend()->database(scope_); }
    std::shared_ptr<LazyCloudStore::State> state_;
    CloudScope scope_;
};

}  // namespace

LazyCloudStore::LazyCloudStore(Opener open, CloudError lastFailure, const Clock& clock,
                               std::chrono::nanoseconds interval)
    : state_(std::make_shared<State>(std::move(open), std::move(lastFailure), clock, interval)) {}

LazyCloudStore::~LazyCloudStore() = default;

int LazyCloudStore::accountStatus() {
    return state_->backend()->accountStatus();
}

std::string LazyCloudStore::currentUserRecordName() {
    return state_->backend()->currentUserRecordName();
}

std::shared_ptr<CloudDatabase> LazyCloudStore::database(CloudScope scope) {
    return std::make_shared<LazyDatabase>(state_, scope);
}

void LazyCloudStore::setPushHandler(asio::any_io_executor ex, std::function<void()> handler) {
    std::shared_ptr<CloudStore> store;
    {
        std::lock_guard lock(state_->mutex);
        state_->pushExecutor = ex;
        state_->pushHandler = handler;
        ++state_->pushGeneration;
        store = state_->store;
    }
    // Not open yet: the opening sets it.
    if (store) store->setPushHandler(std::move(ex), std::move(handler));
}

void LazyCloudStore::addShareParticipant(const CloudZoneID& zone,
                                         const std::string& userRecordName) {
    state_->backend()->addShareParticipant(zone, userRecordName);
}

CloudZoneID LazyCloudStore::acceptShare(const std::string& url) {
    return state_->backend()->acceptShare(url);
}

}  // namespace orvane
