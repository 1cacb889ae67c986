#include "OrvaneKit/reach/NATSignalling.h"

namespace orvane {

std::string NATSignalling::recordName(const std::string& macID) {
    return "nat-" + macID + "-viewer";
}

std::optional<STUNReflexive> NATSignalling::fetch(const std::string& macID,
                                                  double maxAgeSeconds) noexcept {
    try {
        auto record = store_->database(CloudScope::privateScope)
                          ->fetchRecord({recordName(macID), CloudZoneID{zoneName}});
        const auto* host = record.get("host");
        const auto* port = record.get("port");
        const auto* updatedAt = record.get("updatedAt");
        if (!host || !port || !updatedAt) return std::nullopt;
        const auto* hostText = std::get_if<std::string>(host);
        const auto* portNumber = std::get_if<std::int64_t>(port);
        const auto* date = std::get_if<CloudDate>(updatedAt);
        if (!hostText || !portNumber || !date) return std::nullopt;
        const double age = std::chrono::duration<double>(clock_.wallNow() - *date).count();
        if (!(age < maxAgeSeconds) || *portNumber < 1 || *portNumber > 65535) return std::nullopt;
        return STUNReflexive{*hostText, static_cast<std::uint16_t>(*portNumber)};
    } catch (...) {
        return std::nullopt;
    }
}

void NATSignalling::publish(const std::string& macID, const std::string& host, std::uint16_t port) {
    CloudRecord record;
    record.type = recordType;
    record.id = {recordName(macID), CloudZoneID{zoneName}};
    record.set("macID", macID);
    record.set("host", host);
    record.set("port", static_cast<std::int64_t>(port));
    record.set("updatedAt", std::chrono::floor<std::chrono::milliseconds>(clock_.wallNow()));
    auto result = store_->database(CloudScope::privateScope)
                      ->modifyRecords({record}, {}, CloudSavePolicy::allKeys, true);
    // A record the store refused is a failed publication, not a silent success.
    for (const auto& saved : result.saved)
        if (saved.error) throw *saved.error;
}

}  // namespace orvane
