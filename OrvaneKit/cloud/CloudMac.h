#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/cloud/CloudAction.h"
#include "OrvaneKit/cloud/CloudStore.h"

namespace orvane {

// A date as records keep it: to the millisecond, rounded down.
CloudDate toCloudDate(Date d);
Date fromCloudDate(CloudDate d);
// 0001-01-01T00:00:00Z: the date of a record that has none.
Date distantPast();

// Where and how a machine can be reached, as its "Mac" record says.
struct CloudMac {
    std::string id;
    std::string name = "Mac";
    std::string model;
    Date lastSeen = distantPast();
    std::vector<std::string> lanAddresses;
    std::optional<std::string> publicAddress;
    std::optional<std::int64_t> publicPort;
    std::vector<std::string> ipv6Addresses;
    std::optional<std::string> accessCode;
    std::optional<std::string> identity;
    std::optional<std::string> authToken;
    std::optional<std::string> relayHost;
    std::optional<std::int64_t> relayPort;
    std::optional<std::string> relayAlloc;
    std::optional<std::string> natHost;
    std::optional<std::int64_t> natPort;

    static constexpr std::int64_t sessionPort = 5895;

    // Always yields one: what is missing or of another kind takes its default.
    static CloudMac fromRecord(const CloudRecord& record);
    // Every field, in order; absent values and empty lists set "no value".
    void writeTo(CloudRecord& record) const;

    // Seen less than 600 s before `now` (a lastSeen in the future counts).
    bool isOnline(Date now) const;
    // What a viewer can dial from afar: the router's mapping, then each IPv6 address.
    std::vector<std::string> endpoints() const;

    bool operator==(const CloudMac&) const = default;
};

// One command left for a machine by another of the owner's devices.
struct CloudCommand {
    std::string id;  // an upper-case UUID
    std::string macID;
    CloudAction action = CloudAction::playSound;
    std::string sender = "Another device";
    Date createdAt = distantPast();

    // None for a record without a text macID or a known action.
    static std::optional<CloudCommand> fromRecord(const CloudRecord& record);
    void writeTo(CloudRecord& record) const;

    bool operator==(const CloudCommand&) const = default;
};

}  // namespace orvane
