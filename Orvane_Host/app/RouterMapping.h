#pragma once

#include "Orvane_Host/reach/PortMapper.h"
#include "Orvane_Host/session/IOutsideRoutes.h"

namespace orvane {

// Owns the router mapping of the session port until the cloud access takes it over; no hole
// punch yet, so no reflexive address.
class RouterMapping final : public IOutsideRoutes {
public:
    explicit RouterMapping(PortMappingBackend& backend) : mapper_(backend) {}
    PortMapper& mapper() { return mapper_; }
    std::optional<PortMapping> routerMapping() const override { return mapper_.external(); }
    std::optional<STUNReflexive> holePunchAddress() const override { return std::nullopt; }

private:
    PortMapper mapper_;
};

}  // namespace orvane
