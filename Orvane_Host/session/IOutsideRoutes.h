#pragma once

#include <optional>

#include "OrvaneKit/reach/STUN.h"
#include "Orvane_Host/reach/PortMapper.h"

namespace orvane {

// How the machine is seen from outside its network, for the pairing link: the router's mapping
// of the session port and the hole punch's reflexive address. Either is none while unknown.
// Read on the main actor.
class IOutsideRoutes {
public:
    virtual ~IOutsideRoutes() = default;
    virtual std::optional<PortMapping> routerMapping() const = 0;
    virtual std::optional<STUNReflexive> holePunchAddress() const = 0;
};

}  // namespace orvane
