#include "OrvaneKit/cloud/testing/FakeCloudStore.h"

#include <algorithm>
#include <asio/post.hpp>
#include <set>
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

struct Share {
    std::string owner;
    std::string zone;
    std::set<std::string> participants;
    std::set<std::string> accepted;
};

struct Device {
    FakeCloudStore* store = nullptr;
    const FakeCloudStore::State* account = nullptr;
    asio::any_io_executor ex;
    std::function<void()> handler;
    std::size_t pushes = 0;
};

// What every account on one server shares.
struct Server {
    std::mutex mutex;
    std::string storeID = Uuid::random().string();
    std::map<std::string, Database> privateDatabases;  // by user
    std::map<std::string, std::vector<CloudSubscription>> sharedSubscriptions;
    std::map<std::string, Share> shares;  // by token
    std::int64_t tags = 0;
    std::vector<std::shared_ptr<Device>> devices;
};

}  // namespace

struct FakeCloudStore::State {
    explicit State(std::shared_ptr<Server> server_)
        : server(std::move(server_)), mutex(server->mutex) {}
    std::shared_ptr<Server> server;
    std::mutex& mutex;
    std::size_t pageSize = 100;
    std::optional<CloudError> nextFailure;
    std::map<std::string, CloudError> recordFailures;
    int status = CloudAccountStatus::available;
    bool statusFails = false;
    bool userFails = false;
    std::string user = "_4c1f0e7d2a9b8c3d6e5f4a3b2c1d0e9f";
    std::size_t requests = 0;

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

    Database& own() { return server->privateDatabases[user]; }

    // After a change to a zone of `owner`: that user's other devices when subscribed, and the
    // devices of every subscribed person who accepted its share.
    void pushChange(const FakeCloudStore* writer, const std::string& owner,
                    const std::string& zone) {
        std::set<std::string> users;
        if (!server->privateDatabases[owner].subscriptions.empty()) users.insert(owner);
        for (const auto& [token, share] : server->shares)
            if (share.owner == owner && share.zone == zone)
                for (const auto& p : share.accepted)
                    if (!server->sharedSubscriptions[p].empty()) users.insert(p);
        for (auto& d : server->devices) {
            if (d->store == writer || !d->handler || !users.contains(d->account->user)) continue;
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
        if (shared()) throw cloudError(CloudErrorCode::permissionFailure);
        auto& db = s_->own();
        for (const auto& z : save)
            if (!db.zones.contains(z)) db.zones[z].generation = Uuid::random().string();
        for (const auto& z : remove) {
            db.zones.erase(z);
            std::erase_if(s_->server->shares, [&](const auto& kv) {
                return kv.second.owner == s_->user && kv.second.zone == z.name;
            });
        }
    }

    std::vector<CloudZoneID> allZones() override {
        std::lock_guard lock(s_->mutex);
        s_->begin("allZones");
        std::vector<CloudZoneID> out;
        if (!shared()) {
            for (const auto& [id, z] : s_->own().zones) out.push_back(id);
            return out;
        }
        for (const auto& [token, share] : s_->server->shares)
            if (share.accepted.contains(s_->user) && find({share.zone, share.owner}))
                out.push_back({share.zone, share.owner});
        std::sort(out.begin(), out.end());
        return out;
    }

    void modifySubscriptions(const std::vector<CloudSubscription>& save,
                             const std::vector<std::string>& remove) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("modifySubscriptions");
        auto& subs = subscriptions();
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
        return subscriptions();
    }

    CloudModifyResult modifyRecords(const std::vector<CloudRecord>& save,
                                    const std::vector<CloudRecordID>& remove,
                                    CloudSavePolicy policy, bool atomic) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("modifyRecords");
        auto& server = *s_->server;
        const auto before = server.privateDatabases;
        const auto sharesBefore = server.shares;
        CloudModifyResult result;
        bool failed = false;
        std::set<std::pair<std::string, std::string>> changed;  // owner, zone
        for (const auto& r : save) {
            CloudSaveResult out{r.id, std::nullopt, std::nullopt};
            Zone* zone = find(r.id.zone);
            if (auto f = s_->recordFailures.find(r.id.name); f != s_->recordFailures.end()) {
                out.error = f->second;
            } else if (!zone) {
                out.error = cloudError(CloudErrorCode::zoneNotFound);
            } else if (shared() && Rules::isZoneShare(r.id)) {
                out.error = cloudError(CloudErrorCode::permissionFailure);
            } else if (auto bad = Rules::checkSchema(r)) {
                out.error = *bad;
            } else {
                auto it = zone->records.find(r.id.name);
                const Rules::Stored* server_ =
                    it != zone->records.end() && !it->second.deleted ? &it->second.stored : nullptr;
                auto applied = Rules::applySave(server_, r, policy);
                if (auto* e = std::get_if<CloudError>(&applied)) {
                    out.error = *e;
                } else {
                    auto& entry = zone->records[r.id.name];
                    entry.stored = std::get<Rules::Stored>(std::move(applied));
                    if (Rules::isZoneShare(r.id))
                        Rules::finishShare(entry.stored, server.storeID, shareToken(r.id.zone));
                    entry.stored.tag = "t" + std::to_string(++server.tags);
                    entry.sequence = ++zone->sequence;
                    entry.deleted = false;
                    out.record = Rules::toRecord(entry.stored, r.id);
                    changed.insert({ownerOf(r.id.zone), r.id.zone.name});
                }
            }
            failed |= out.error.has_value();
            result.saved.push_back(std::move(out));
        }
        for (const auto& id : remove) {
            CloudDeleteResult out{id, std::nullopt};
            Zone* zone = find(id.zone);
            if (auto f = s_->recordFailures.find(id.name); f != s_->recordFailures.end()) {
                out.error = f->second;
            } else if (!zone) {
                out.error = cloudError(CloudErrorCode::zoneNotFound);
            } else if (shared() && Rules::isZoneShare(id)) {
                out.error = cloudError(CloudErrorCode::permissionFailure);
            } else {
                auto it = zone->records.find(id.name);
                if (it == zone->records.end() || it->second.deleted) {
                    out.error = cloudError(CloudErrorCode::unknownItem);
                } else {
                    it->second.deleted = true;
                    it->second.stored = {};
                    it->second.sequence = ++zone->sequence;
                    if (Rules::isZoneShare(id))
                        std::erase_if(server.shares, [&](const auto& kv) {
                            return kv.second.owner == s_->user && kv.second.zone == id.zone.name;
                        });
                    changed.insert({ownerOf(id.zone), id.zone.name});
                }
            }
            failed |= out.error.has_value();
            result.deleted.push_back(std::move(out));
        }
        if (atomic && failed) {
            server.privateDatabases = before;
            server.shares = sharesBefore;
            Rules::failBatch(result);
            changed.clear();
        }
        for (const auto& [owner, zone] : changed) s_->pushChange(device_, owner, zone);
        return result;
    }

    CloudRecord fetchRecord(const CloudRecordID& id) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("fetchRecord");
        Zone* zone = find(id.zone);
        if (!zone) throw cloudError(CloudErrorCode::zoneNotFound);
        auto it = zone->records.find(id.name);
        if (it == zone->records.end() || it->second.deleted)
            throw cloudError(CloudErrorCode::unknownItem);
        return Rules::toRecord(it->second.stored, id);
    }

    CloudZoneChanges fetchZoneChanges(const CloudZoneID& zoneID,
                                      const std::optional<std::string>& token,
                                      std::size_t limit) override {
        std::lock_guard lock(s_->mutex);
        s_->begin("fetchZoneChanges");
        Zone* zone = find(zoneID);
        if (!zone) throw cloudError(CloudErrorCode::zoneNotFound);
        Rules::Token here{s_->server->storeID, zoneID.owner + "/" + zoneID.name, zone->generation};
        const std::int64_t since = Rules::resumeAfter(token, here);
        std::vector<std::pair<std::int64_t, const std::string*>> pending;
        for (const auto& [name, e] : zone->records)
            if (e.sequence > since && !(e.deleted && !token))
                pending.push_back({e.sequence, &name});
        std::sort(pending.begin(), pending.end());
        const std::size_t page = limit ? std::min(limit, s_->pageSize) : s_->pageSize;
        CloudZoneChanges out;
        std::int64_t last = since;
        for (std::size_t i = 0; i < pending.size() && i < page; ++i) {
            const auto& e = zone->records.at(*pending[i].second);
            CloudRecordID id{*pending[i].second, zoneID};
            if (e.deleted)
                out.deleted.push_back(id);
            else
                out.changed.push_back(Rules::toRecord(e.stored, id));
            last = pending[i].first;
        }
        out.moreComing = pending.size() > page;
        if (!out.moreComing) last = std::max(last, zone->sequence);
        here.sequence = last;
        out.token = Rules::encodeToken(here);
        return out;
    }

private:
    bool shared() const { return scope_ == CloudScope::sharedScope; }

    std::vector<CloudSubscription>& subscriptions() {
        return shared() ? s_->server->sharedSubscriptions[s_->user] : s_->own().subscriptions;
    }

    std::string ownerOf(const CloudZoneID& z) const { return shared() ? z.owner : s_->user; }

    // The zone this user reaches under that name: an own one, or a shared one once accepted.
    Zone* find(const CloudZoneID& z) {
        auto& dbs = s_->server->privateDatabases;
        if (!shared()) {
            auto& own = s_->own();
            auto it = own.zones.find(z);
            return it == own.zones.end() ? nullptr : &it->second;
        }
        for (const auto& [token, share] : s_->server->shares) {
            if (share.owner != z.owner || share.zone != z.name ||
                !share.accepted.contains(s_->user))
                continue;
            auto& db = dbs[share.owner];
            auto it = db.zones.find({z.name});
            return it == db.zones.end() ? nullptr : &it->second;
        }
        return nullptr;
    }

    // The token of this user's share of the zone, made on its first save.
    std::string shareToken(const CloudZoneID& z) {
        for (const auto& [token, share] : s_->server->shares)
            if (share.owner == s_->user && share.zone == z.name) return token;
        std::string token = Rules::newShareToken();
        s_->server->shares[token] = Share{s_->user, z.name, {}, {}};
        return token;
    }

    std::shared_ptr<FakeCloudStore::State> s_;
    const FakeCloudStore* device_;
    CloudScope scope_;
};

}  // namespace

FakeCloudStore::FakeCloudStore()
    : FakeCloudStore(std::make_shared<State>(std::make_shared<Server>())) {}

FakeCloudStore::FakeCloudStore(std::shared_ptr<State> state) : state_(std::move(state)) {}

FakeCloudStore::~FakeCloudStore() {
    setPushHandler({}, {});
}

std::shared_ptr<FakeCloudStore> FakeCloudStore::otherDevice() {
    return std::shared_ptr<FakeCloudStore>(new FakeCloudStore(state_));
}

std::shared_ptr<FakeCloudStore> FakeCloudStore::otherPerson(std::string userRecordName) {
    auto state = std::make_shared<State>(state_->server);
    state->user = std::move(userRecordName);
    return std::shared_ptr<FakeCloudStore>(new FakeCloudStore(state));
}

void FakeCloudStore::addShareParticipant(const CloudZoneID& zone,
                                         const std::string& userRecordName) {
    std::lock_guard lock(state_->mutex);
    state_->begin("addShareParticipant");
    for (auto& [token, share] : state_->server->shares)
        if (share.owner == state_->user && share.zone == zone.name) {
            share.participants.insert(userRecordName);
            return;
        }
    throw CloudError(CloudErrorCode::unknownItem, "The zone is not shared.");
}

CloudZoneID FakeCloudStore::acceptShare(const std::string& url) {
    std::lock_guard lock(state_->mutex);
    state_->begin("acceptShare");
    auto& shares = state_->server->shares;
    auto it = shares.find(Rules::shareToken(url, state_->server->storeID));
    if (it == shares.end())
        throw CloudError(CloudErrorCode::unknownItem, "There is no such share here.");
    if (!it->second.participants.contains(state_->user))
        throw CloudError(CloudErrorCode::permissionFailure,
                         "This account was not invited to the share.");
    it->second.accepted.insert(state_->user);
    return {it->second.zone, it->second.owner};
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
    auto& devices = state_->server->devices;
    std::erase_if(devices, [&](const auto& d) { return d->store == this; });
    if (handler)
        devices.push_back(std::make_shared<Device>(Device{this, state_.get(), ex, handler, 0}));
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
    for (const auto& d : state_->server->devices)
        if (d->store == this) n += d->pushes;
    return n;
}

}  // namespace orvane
