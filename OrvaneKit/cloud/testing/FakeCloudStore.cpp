#include "OrvaneKit/cloud/testing/FakeCloudStore.h"

#include <algorithm>
#include <asio/post.hpp>
#include <utility>

#include "OrvaneKit/base/Uuid.h"

namespace orvane {

namespace Rules = CloudStoreRules;

namespace {

struct Entry {
    Rules::Stored stored;
    std::int64_t sequence = 0;
    bool deleted = false;
};

struct Zone {
    std::string generation;
    std::int64_t sequence = 0;
    std::map<std::string, Entry> records;
};

struct Database {
    std::map<CloudZoneID, Zone> zones;
    std::vector<CloudSubscription> subscriptions;
};

struct Device {
    FakeCloudStore* store = nullptr;
    asio::any_io_executor ex;
    std::function<void()> handler;
    std::size_t pushes = 0;
};

}  // namespace

struct FakeCloudStore::State {
    mutable std::mutex mutex;
    std::string storeID = Uuid::random().string();
    std::map<CloudScope, Database> databases;
    std::size_t pageSize = 100;
    std::optional<CloudError> nextFailure;
    std::map<std::string, CloudError> recordFailures;
    int status = CloudAccountStatus::available;
    bool statusFails = false;
    bool userFails = false;
    std::string user = "_4c1f0e7d2a9b8c3d6e5f4a3b2c1d0e9f";
    std::size_t requests = 0;
    std::int64_t tags = 0;
    std::vector<std::shared_ptr<Device>> devices;

    std::vector<std::string> log;
    std::function<void(const std::string&)> hook;

    // Counts the request and throws what it must; the caller holds the mutex.
    void begin(const char* name) {
        ++requests;
        log.push_back(name);
        if (hook) hook(name);
        if (auto f = std::exchange(nextFailure, std::nullopt)) throw *f;
        if (status != CloudAccountStatus::available)
            throw cloudError(CloudErrorCode::notAuthenticated);
    }

    void pushToOthers(const FakeCloudStore* writer, CloudScope scope) {
        if (databases[scope].subscriptions.empty()) return;
        for (auto& d : devices) {
            if (d->store == writer || !d->handler) continue;
            ++d->pushes;
            asio::post(d->ex, d->handler);
        }
    }
};

namespace {

class FakeDatabase final : public CloudDatabase {
public:
    FakeDatabase(std::shared_ptr<FakeCloudStore::State> s, const FakeCloudStore* device,
                 CloudScope scope)
        : s_(std::move(s)), device_(device), scope_(scope) {}

    void modifyZones(const std::vector<CloudZoneID>& save,
                     const std::vector<CloudZoneID>& remove) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("modifyZones");
        auto& db = s_->databases[scope_];
        for (const auto& z : save)
            if (!db.zones.contains(z)) db.zones[z].generation = Uuid::random().string();
        for (const auto& z : remove) db.zones.erase(z);
    }

    std::vector<CloudZoneID> allZones() override {
        std::lock_guard lock(s_->mutex);
        s_->begin("allZones");
        std::vector<CloudZoneID> out;
        for (const auto& [id, z] : s_->databases[scope_].zones) out.push_back(id);
        return out;
    }

    void modifySubscriptions(const std::vector<CloudSubscription>& save,
                             const std::vector<std::string>& remove) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("modifySubscriptions");
        auto& subs = s_->databases[scope_].subscriptions;
        for (const auto& sub : save) {
            std::erase(subs, sub);
            subs.push_back(sub);
        }
        for (const auto& id : remove)
            std::erase_if(subs, [&](const CloudSubscription& x) { return x.id == id; });
    }

    std::vector<CloudSubscription> allSubscriptions() override {
        std::lock_guard lock(s_->mutex);
        s_->begin("allSubscriptions");
        return s_->databases[scope_].subscriptions;
    }

    CloudModifyResult modifyRecords(const std::vector<CloudRecord>& save,
                                    const std::vector<CloudRecordID>& remove,
                                    CloudSavePolicy policy, bool atomic) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("modifyRecords");
        auto& db = s_->databases[scope_];
        const auto before = db.zones;
        CloudModifyResult result;
        bool failed = false;
        bool changed = false;
        for (const auto& r : save) {
            CloudSaveResult out{r.id, std::nullopt, std::nullopt};
            auto zone = db.zones.find(r.id.zone);
            if (auto f = s_->recordFailures.find(r.id.name); f != s_->recordFailures.end()) {
                out.error = f->second;
            } else if (zone == db.zones.end()) {
                out.error = cloudError(CloudErrorCode::zoneNotFound);
            } else if (auto bad = Rules::checkSchema(r)) {
                out.error = *bad;
            } else {
                auto it = zone->second.records.find(r.id.name);
                const Rules::Stored* server =
                    it != zone->second.records.end() && !it->second.deleted ? &it->second.stored
                                                                            : nullptr;
                auto applied = Rules::applySave(server, r, policy);
                if (auto* e = std::get_if<CloudError>(&applied)) {
                    out.error = *e;
                } else {
                    auto& entry = zone->second.records[r.id.name];
                    entry.stored = std::get<Rules::Stored>(std::move(applied));
                    entry.stored.tag = "t" + std::to_string(++s_->tags);
                    entry.sequence = ++zone->second.sequence;
                    entry.deleted = false;
                    out.record = Rules::toRecord(entry.stored, r.id);
                    changed = true;
                }
            }
            failed |= out.error.has_value();
            result.saved.push_back(std::move(out));
        }
        for (const auto& id : remove) {
            CloudDeleteResult out{id, std::nullopt};
            auto zone = db.zones.find(id.zone);
            if (auto f = s_->recordFailures.find(id.name); f != s_->recordFailures.end()) {
                out.error = f->second;
            } else if (zone == db.zones.end()) {
                out.error = cloudError(CloudErrorCode::zoneNotFound);
            } else {
                auto it = zone->second.records.find(id.name);
                if (it == zone->second.records.end() || it->second.deleted) {
                    out.error = cloudError(CloudErrorCode::unknownItem);
                } else {
                    it->second.deleted = true;
                    it->second.stored = {};
                    it->second.sequence = ++zone->second.sequence;
                    changed = true;
                }
            }
            failed |= out.error.has_value();
            result.deleted.push_back(std::move(out));
        }
        if (atomic && failed) {
            db.zones = before;
            for (auto& s : result.saved) {
                s.record.reset();
                if (!s.error) s.error = cloudError(CloudErrorCode::batchRequestFailed);
            }
            for (auto& d : result.deleted)
                if (!d.error) d.error = cloudError(CloudErrorCode::batchRequestFailed);
            changed = false;
        }
        if (changed) s_->pushToOthers(device_, scope_);
        return result;
    }

    CloudRecord fetchRecord(const CloudRecordID& id) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("fetchRecord");
        auto& db = s_->databases[scope_];
        auto zone = db.zones.find(id.zone);
        if (zone == db.zones.end()) throw cloudError(CloudErrorCode::zoneNotFound);
        auto it = zone->second.records.find(id.name);
        if (it == zone->second.records.end() || it->second.deleted)
            throw cloudError(CloudErrorCode::unknownItem);
        return Rules::toRecord(it->second.stored, id);
    }

    CloudZoneChanges fetchZoneChanges(const CloudZoneID& zoneID,
                                      const std::optional<std::string>& token,
                                      std::size_t limit) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("fetchZoneChanges");
        auto& db = s_->databases[scope_];
        auto zone = db.zones.find(zoneID);
        if (zone == db.zones.end()) throw cloudError(CloudErrorCode::zoneNotFound);
        const std::string zoneKey = zoneID.owner + "/" + zoneID.name;
        std::int64_t since = 0;
        if (token) {
            auto t = Rules::decodeToken(*token);
            if (t.store != s_->storeID || t.zone != zoneKey ||
                t.generation != zone->second.generation)
                throw cloudError(CloudErrorCode::changeTokenExpired);
            since = t.sequence;
        }
        std::vector<std::pair<std::int64_t, const std::string*>> pending;
        for (const auto& [name, e] : zone->second.records)
            if (e.sequence > since && !(e.deleted && !token))
                pending.push_back({e.sequence, &name});
        std::sort(pending.begin(), pending.end());
        const std::size_t page = limit ? std::min(limit, s_->pageSize) : s_->pageSize;
        CloudZoneChanges out;
        std::int64_t last = since;
        for (std::size_t i = 0; i < pending.size() && i < page; ++i) {
            const auto& e = zone->second.records.at(*pending[i].second);
            CloudRecordID id{*pending[i].second, zoneID};
            if (e.deleted)
                out.deleted.push_back(id);
            else
                out.changed.push_back(Rules::toRecord(e.stored, id));
            last = pending[i].first;
        }
        out.moreComing = pending.size() > page;
        if (!out.moreComing) last = std::max(last, zone->second.sequence);
        out.token = Rules::encodeToken({s_->storeID, zoneKey, zone->second.generation, last});
        return out;
    }

private:
    std::shared_ptr<FakeCloudStore::State> s_;
    const FakeCloudStore* device_;
    CloudScope scope_;
};

}  // namespace

FakeCloudStore::FakeCloudStore() : FakeCloudStore(std::make_shared<State>()) {}

FakeCloudStore::FakeCloudStore(std::shared_ptr<State> state) : state_(std::move(state)) {}

FakeCloudStore::~FakeCloudStore() {
    setPushHandler({}, {});
}

std::shared_ptr<FakeCloudStore> FakeCloudStore::otherDevice() {
    return std::shared_ptr<FakeCloudStore>(new FakeCloudStore(state_));
}

int FakeCloudStore::accountStatus() {
    std::lock_guard lock(state_->mutex);
    state_->log.push_back("accountStatus");
    if (state_->statusFails) throw cloudError(CloudErrorCode::networkUnavailable);
    return state_->status;
}

std::string FakeCloudStore::currentUserRecordName() {
    std::lock_guard lock(state_->mutex);
    state_->log.push_back("currentUserRecordName");
    if (state_->status != CloudAccountStatus::available)
        throw cloudError(CloudErrorCode::notAuthenticated);
    if (state_->userFails) throw cloudError(CloudErrorCode::networkUnavailable);
    return state_->user;
}

std::shared_ptr<CloudDatabase> FakeCloudStore::database(CloudScope scope) {
    return std::make_shared<FakeDatabase>(state_, this, scope);
}

void FakeCloudStore::setPushHandler(asio::any_io_executor ex, std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->devices, [&](const auto& d) { return d->store == this; });
    if (handler) state_->devices.push_back(std::make_shared<Device>(Device{this, ex, handler, 0}));
}

void FakeCloudStore::setPageSize(std::size_t n) {
    std::lock_guard lock(state_->mutex);
    state_->pageSize = std::max<std::size_t>(n, 1);
}
void FakeCloudStore::failNextRequest(CloudError e) {
    std::lock_guard lock(state_->mutex);
    state_->nextFailure = std::move(e);
}
void FakeCloudStore::failRecord(const std::string& recordName, std::optional<CloudError> e) {
    std::lock_guard lock(state_->mutex);
    state_->recordFailures.erase(recordName);
    if (e) state_->recordFailures.emplace(recordName, std::move(*e));
}
void FakeCloudStore::setAccountStatus(int status) {
    std::lock_guard lock(state_->mutex);
    state_->status = status;
}
void FakeCloudStore::setAccountStatusFails(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->statusFails = on;
}
void FakeCloudStore::setUserLookupFails(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->userFails = on;
}
void FakeCloudStore::setUserRecordName(std::string name) {
    std::lock_guard lock(state_->mutex);
    state_->user = std::move(name);
}
std::size_t FakeCloudStore::requestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}
std::vector<std::string> FakeCloudStore::requestLog() const {
    std::lock_guard lock(state_->mutex);
    return state_->log;
}
void FakeCloudStore::setRequestHook(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(state_->mutex);
    state_->hook = std::move(hook);
}
std::size_t FakeCloudStore::pushCount() const {
    std::lock_guard lock(state_->mutex);
    std::size_t n = 0;
    for (const auto& d : state_->devices)
        if (d->store == this) n += d->pushes;
    return n;
}

}  // namespace orvane
