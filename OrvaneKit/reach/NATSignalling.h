#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/cloud/CloudStore.h"
#include "OrvaneKit/reach/STUN.h"

namespace orvane {

// Hands a viewer's public UDP address to the machine through the owner's private cloud
// database: one "NATCandidate" record per machine in the zone "Kelsap", written by viewers
// (the last one wins) and read by the machine. Calls block, like the store's.
class NATSignalling {
public:
    static constexpr const char* recordType = "NATCandidate";
    static constexpr const char* zoneName = "Kelsap";

    NATSignalling(std::shared_ptr<CloudStore> store, const Clock& clock)
        : store_(std::move(store)), clock_(clock) {}

    // "nat-" + macID + "-viewer", the identifier as given.
    static std::string recordName(const std::string& macID);

    // The viewer's address when the record is younger than `maxAgeSeconds` (a date in the
    // future passes) and its port is 1 to 65535; none otherwise, and for any failure.
    std::optional<STUNReflexive> fetch(const std::string& macID, double maxAgeSeconds) noexcept;
    // Replaces the record whatever the server holds, in one atomic request; throws CloudError.
    void publish(const std::string& macID, const std::string& host, std::uint16_t port);

private:
    std::shared_ptr<CloudStore> store_;
    const Clock& clock_;
};

}  // namespace orvane
