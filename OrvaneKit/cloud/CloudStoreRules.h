#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "OrvaneKit/cloud/CloudStore.h"

namespace orvane {

// What every store does alike, whatever keeps the bytes: the schema of the known record types,
// the save policies and the change tokens.
namespace CloudStoreRules {

// A record as a store keeps it. Encrypted values may be sealed bytes: the rules never look
// inside them.
struct Stored {
    std::string type;
    std::string tag;
    std::map<std::string, CloudValue> plain;
    std::map<std::string, CloudValue> encrypted;
};

// 12 for a known field of a known type given a value of the wrong kind or in the wrong half
// (plain or encrypted); other fields are free.
std::optional<CloudError> checkSchema(const CloudRecord& record);

// The record `local` saved over `server` (none: not stored) under `policy`, without its new
// tag; or the per-record error (14 for a stale or missing tag, 11 for a tag of a record that
// is gone, 12 for another type under the same name).
std::variant<Stored, CloudError> applySave(const Stored* server, const CloudRecord& local,
                                           CloudSavePolicy policy);

// The record a caller gets back.
CloudRecord toRecord(const Stored& stored, const CloudRecordID& id);

// An atomic request that failed and was undone: nothing comes back saved, and every record
// without an error of its own fails with 22.
void failBatch(CloudModifyResult& result);

// Change tokens: which store, which zone (and which life of it), which change.
struct Token {
    std::string store;
    std::string zone;
    std::string generation;
    std::int64_t sequence = 0;
};
std::string encodeToken(const Token& t);
// 21 when the text is no token of ours.
Token decodeToken(const std::string& text);
// The change a caller's token resumes after in the zone `here` names (0 without a token);
// 21 for a token of another store, zone or life of the zone.
std::int64_t resumeAfter(const std::optional<std::string>& token, const Token& here);

// Zone-wide shares.
bool isZoneShare(const CloudRecordID& id);
// The stored share as the store finishes it: its URL and no public access.
void finishShare(Stored& stored, const std::string& storeID, const std::string& token);
std::string shareURL(const std::string& storeID, const std::string& token);
// The token of a URL of this store; 11 for any other text.
std::string shareToken(const std::string& url, const std::string& storeID);
std::string newShareToken();

}  // namespace CloudStoreRules

}  // namespace orvane
