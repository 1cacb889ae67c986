#include "OrvaneKit/cloud/CloudStoreRules.h"

#include <utility>
#include <vector>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/crypto/Random.h"

namespace orvane {

CloudError cloudError(int code) {
    switch (code) {
        case CloudErrorCode::internalError:
            return {code, "The cloud store failed."};
        case CloudErrorCode::networkUnavailable:
            return {code, "The cloud store cannot be reached."};
        case CloudErrorCode::notAuthenticated:
            return {code, "No cloud account is signed in."};
        case CloudErrorCode::permissionFailure:
            return {code, "This account may not do that."};
        case CloudErrorCode::unknownItem:
            return {code, "The record does not exist."};
        case CloudErrorCode::invalidArguments:
            return {code, "A field has a value of the wrong kind."};
        case CloudErrorCode::serverRecordChanged:
            return {code, "The record was changed by another device."};
        case CloudErrorCode::changeTokenExpired:
            return {code, "The change token is not valid here."};
        case CloudErrorCode::batchRequestFailed:
            return {code, "Another record of the request failed."};
        case CloudErrorCode::zoneNotFound:
            return {code, "The record zone does not exist."};
        default:
            return {code, "The cloud store failed (" + std::to_string(code) + ")."};
    }
}

namespace CloudStoreRules {

namespace {

enum Kind { kString, kInt, kDouble, kDate, kList, kBytes };

struct Field {
    const char* key;
    Kind kind;
    bool encrypted;
};

const std::vector<Field>* schemaOf(const std::string& type) {
    static const std::vector<Field> mac = {
        {"name", kString, false},          {"model", kString, false},
        {"lastSeen", kDate, false},        {"lanAddresses", kList, false},
        {"publicAddress", kString, false}, {"publicPort", kInt, false},
        {"ipv6Addresses", kList, false},   {"accessCode", kString, true},
        {"identity", kString, true},       {"authToken", kString, true},
        {"relayHost", kString, false},     {"relayPort", kInt, false},
        {"relayAlloc", kString, true},     {"natHost", kString, false},
        {"natPort", kInt, false},
    };
    static const std::vector<Field> command = {
        {"macID", kString, false},
        {"action", kString, false},
        {"sender", kString, false},
        {"createdAt", kDate, false},
    };
    static const std::vector<Field> candidate = {
        {"macID", kString, false},
        {"host", kString, false},
        {"port", kInt, false},
        {"updatedAt", kDate, false},
    };
    if (type == "Mac") return &mac;
    if (type == "Command") return &command;
    if (type == "NATCandidate") return &candidate;
    return nullptr;
}

bool fits(const std::map<std::string, std::optional<CloudValue>>& values, const Field& f,
          bool wrongHalf) {
    auto it = values.find(f.key);
    if (it == values.end() || !it->second) return true;
    return !wrongHalf && static_cast<int>(it->second->index()) == f.kind;
}

void apply(std::map<std::string, CloudValue>& into,
           const std::map<std::string, std::optional<CloudValue>>& from, const CloudRecord& local,
           const char* prefix, bool onlyChanged) {
    for (const auto& [key, value] : from) {
        if (onlyChanged && !local.changedKeys.contains(prefix + key)) continue;
        if (value)
            into[key] = *value;
        else
            into.erase(key);
    }
}

}  // namespace

std::optional<CloudError> checkSchema(const CloudRecord& record) {
    const auto* fields = schemaOf(record.type);
    if (!fields) return std::nullopt;
    for (const auto& f : *fields) {
        if (!fits(record.plain, f, f.encrypted) || !fits(record.encrypted, f, !f.encrypted))
            return CloudError(CloudErrorCode::invalidArguments,
                              "The field \"" + std::string(f.key) + "\" of a \"" + record.type +
                                  "\" record has a value of the wrong kind.");
    }
    return std::nullopt;
}

std::variant<Stored, CloudError> applySave(const Stored* server, const CloudRecord& local,
                                           CloudSavePolicy policy) {
    if (!server) {
        // A tag names a version the server no longer has.
        if (policy == CloudSavePolicy::ifServerRecordUnchanged && local.changeTag)
            return cloudError(CloudErrorCode::unknownItem);
        Stored fresh{local.type, {}, {}, {}};
        apply(fresh.plain, local.plain, local, "", false);
        apply(fresh.encrypted, local.encrypted, local, "e:", false);
        return fresh;
    }
    if (server->type != local.type)
        return CloudError(CloudErrorCode::invalidArguments,
                          "A record of another type has this name.");
    if (policy == CloudSavePolicy::ifServerRecordUnchanged && local.changeTag != server->tag)
        return cloudError(CloudErrorCode::serverRecordChanged);
    Stored next = *server;
    const bool onlyChanged = policy != CloudSavePolicy::allKeys;
    apply(next.plain, local.plain, local, "", onlyChanged);
    apply(next.encrypted, local.encrypted, local, "e:", onlyChanged);
    return next;
}

CloudRecord toRecord(const Stored& stored, const CloudRecordID& id) {
    CloudRecord r;
    r.type = stored.type;
    r.id = id;
    r.changeTag = stored.tag;
    for (const auto& [k, v] : stored.plain) r.plain[k] = v;
    for (const auto& [k, v] : stored.encrypted) r.encrypted[k] = v;
    return r;
}

void failBatch(CloudModifyResult& result) {
    for (auto& s : result.saved) {
        s.record.reset();
        if (!s.error) s.error = cloudError(CloudErrorCode::batchRequestFailed);
    }
    for (auto& d : result.deleted)
        if (!d.error) d.error = cloudError(CloudErrorCode::batchRequestFailed);
}

std::string encodeToken(const Token& t) {
    const std::string text =
        "1\n" + t.store + "\n" + t.zone + "\n" + t.generation + "\n" + std::to_string(t.sequence);
    return base64Encode(asBytes(text));
}

Token decodeToken(const std::string& text) {
    auto raw = base64Decode(text);
    if (!raw) throw cloudError(CloudErrorCode::changeTokenExpired);
    std::vector<std::string> parts;
    std::string cur;
    for (auto c : *raw) {
        if (c == '\n') {
            parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(c));
        }
    }
    parts.push_back(std::move(cur));
    if (parts.size() != 5 || parts[0] != "1") throw cloudError(CloudErrorCode::changeTokenExpired);
    Token t{parts[1], parts[2], parts[3], 0};
    try {
        std::size_t used = 0;
        t.sequence = std::stoll(parts[4], &used);
        if (used != parts[4].size() || t.sequence < 0) throw std::invalid_argument("token");
    } catch (const std::exception&) {
        throw cloudError(CloudErrorCode::changeTokenExpired);
    }
    return t;
}

std::int64_t resumeAfter(const std::optional<std::string>& token, const Token& here) {
    if (!token) return 0;
    const auto t = decodeToken(*token);
    if (t.store != here.store || t.zone != here.zone || t.generation != here.generation)
        throw cloudError(CloudErrorCode::changeTokenExpired);
    return t.sequence;
}

bool isZoneShare(const CloudRecordID& id) {
    return id.name == cloudZoneShareName;
}

void finishShare(Stored& stored, const std::string& storeID, const std::string& token) {
    stored.type = cloudShareType;
    stored.plain["url"] = shareURL(storeID, token);
    stored.plain["publicPermission"] = std::string("none");
}

std::string shareURL(const std::string& storeID, const std::string& token) {
    return "orvane-share://" + storeID + "/" + token;
}

std::string shareToken(const std::string& url, const std::string& storeID) {
    const std::string prefix = shareURL(storeID, "");
    if (url.size() <= prefix.size() || url.compare(0, prefix.size(), prefix) != 0)
        throw CloudError(CloudErrorCode::unknownItem, "There is no such share here.");
    return url.substr(prefix.size());
}

std::string newShareToken() {
    return toHex(randomBytes(16));
}

}  // namespace CloudStoreRules

}  // namespace orvane
