#include "Orvane_Host/ui/settings/CloudAccountQuery.h"

#include <asio/post.hpp>
#include <exception>

namespace orvane::settings {

AccountStatus accountStatusOf(int status) {
    switch (status) {
        case CloudAccountStatus::available:
            return AccountStatus::available;
        case CloudAccountStatus::restricted:
            return AccountStatus::restricted;
        case CloudAccountStatus::noAccount:
            return AccountStatus::noAccount;
        case CloudAccountStatus::temporarilyUnavailable:
            return AccountStatus::temporarilyUnavailable;
        default:
            return AccountStatus::couldNotDetermine;
    }
}

AccountStatusQuery cloudAccountQuery(std::shared_ptr<CloudStore> store,
                                     asio::any_io_executor background, MainActor& mainActor) {
    return [store = std::move(store), background, &mainActor](auto done) {
        asio::post(background, [store, &mainActor, done = std::move(done)]() mutable {
            std::optional<AccountStatus> status;
            try {
                status = accountStatusOf(store->accountStatus());
            } catch (const std::exception&) {
                // Any failure reads as "Unknown"; the cloud's own log has the reason.
            }
            mainActor.post([done = std::move(done), status] { done(status); });
        });
    };
}

}  // namespace orvane::settings
