#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/cloud/CloudStore.h"

namespace orvane {

// A store whose backend could not be reached yet, such as a server that is down: each call
// tries to open it again, at most once per interval so a server that is down is not hammered,
// and fails with the reason while it cannot. Once open, every call goes to the backend, the
// push handler set meanwhile is set on it, and databases handed out before work on.
class LazyCloudStore final : public CloudStore {
public:
    // Throws CloudError when the backend cannot open; never returns null.
    using Opener = std::function<std::shared_ptr<CloudStore>()>;
    static constexpr std::chrono::seconds retryInterval{5};

    // `lastFailure` is why an attempt just made failed; the next one waits out the interval.
    LazyCloudStore(Opener open, CloudError lastFailure, const Clock& clock = SystemClock::shared(),
                   std::chrono::nanoseconds interval = retryInterval);
    ~LazyCloudStore() override;

    int accountStatus() override;
    std::string currentUserRecordName() override;
    std::shared_ptr<CloudDatabase> database(CloudScope scope) override;
    void setPushHandler(asio::any_io_executor ex, std::function<void()> handler) override;
    void addShareParticipant(const CloudZoneID& zone, const std::string& userRecordName) override;
    CloudZoneID acceptShare(const std::string& url) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace orvane
