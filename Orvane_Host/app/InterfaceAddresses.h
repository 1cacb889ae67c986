#pragma once

#include "Orvane_Host/session/ILocalAddresses.h"

namespace orvane {

// The addresses of the interfaces that are up, from the kernel's list.
class InterfaceAddresses final : public ILocalAddresses {
public:
    LocalAddressLists localAddresses() const override;
};

}  // namespace orvane
