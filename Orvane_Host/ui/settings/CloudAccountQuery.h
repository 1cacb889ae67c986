#pragma once

#include <asio/any_io_executor.hpp>
#include <functional>
#include <memory>
#include <optional>

#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/cloud/CloudStore.h"
#include "Orvane_Host/ui/settings/SettingsText.h"

namespace orvane::settings {

// The store's account number as the General pane knows it; unknown numbers could not be told.
AccountStatus accountStatusOf(int status);

using AccountStatusQuery =
    std::function<void(std::function<void(std::optional<AccountStatus>)> done)>;

// Asks `store` on `background`, since a store call may wait on the network or a lock, and hands
// the answer to `done` on `mainActor`: nothing when the store failed. The store is kept alive by
// the query, so an answer may outlive whoever asked; `done` must check that its owner is there.
AccountStatusQuery cloudAccountQuery(std::shared_ptr<CloudStore> store,
                                     asio::any_io_executor background, MainActor& mainActor);

}  // namespace orvane::settings
