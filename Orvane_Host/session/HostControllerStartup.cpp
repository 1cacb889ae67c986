// Start-up after the settings are read, and the once-only shutdown.

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/AuthToken.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/HostController.h"

namespace orvane {

namespace {

// A little more than the longest an ended session's connection stays open after its bye.
constexpr auto byeCancelBound = SessionEnder::latestCancel + std::chrono::milliseconds(50);

}  // namespace

void HostController::start(SecretStore& secrets, RandomSource& random) {
    onMainActor();
    secrets_ = &secrets;
    random_ = &random;
    bool unreadable = false;

    auto stored = Keychain::readChecked(accessCodeAccount, keychainService, std::nullopt, secrets);
    std::string code;
    if (stored.status == KeychainStatus::success &&
        AccessCode::normalize(stored.value).size() == AccessCode::length) {
        code = stored.value;  // as stored, hyphens and case included
    } else {
        code = AccessCode::generate(random);
    }
    // A code the keychain could not give back may still be stored: this run uses a temporary
    // one, and the stored one is left for the next start.
    bool keepStoredCode = stored.status == KeychainStatus::ioError;
    unreadable = unreadable || keepStoredCode;
    setAccessCode(code);

    auto token = Keychain::readChecked(iCloudTokenAccount, keychainService, std::nullopt, secrets);
    if (token.status == KeychainStatus::success) {
        setICloudAuthToken(token.value);
    } else {
        std::string fresh = AuthToken::generate(random);
        if (token.status == KeychainStatus::notFound)
            Keychain::set(fresh, iCloudTokenAccount, keychainService, false, std::nullopt, secrets);
        else
            unreadable = true;
        setICloudAuthToken(fresh);
    }

    if (!keepStoredCode)
        Keychain::set(accessCode_, accessCodeAccount, keychainService, true, std::nullopt, secrets);

    if (unreadable) {
        log.error("keychain could not be read; stored access code and token left untouched");
        setLastError(
            "The keychain could not be read, so the host uses a temporary access code until it "
            "restarts.");
    }

    setAccessibilityGranted(s_.injector.canPost());
    std::weak_ptr<HostController> weak = weak_from_this();
    s_.streams.setOnStop([weak](std::optional<std::string> error) {
        if (auto self = weak.lock()) self->onStreamsStopped(std::move(error));
    });
    s_.screens.setOnChanged([weak, &actor = s_.mainActor] {
        actor.postTo(weak, [](HostController& self) { self.streaming_->spawnDisplayChange(); });
    });
    frontDoor_->start();
    if (browserAccess_) s_.browser.start(accessCode_);
    exchange_->startPolling();
    streaming_->startStatusTimer();
    // The owner's commands run once the handler is there to run them.
    if (IAnywhereAccess* anywhere = cloud_->anywhere())
        anywhere->start([weak](CloudAction action, const std::string& sender) {
            if (auto self = weak.lock()) self->perform(action, sender);
        });
}

asio::awaitable<void> HostController::shutdown() {
    onMainActor();
    if (isShuttingDown_) co_return;
    setIsShuttingDown(true);
    auto self = shared_from_this();

    exchange_->stopPolling();
    streaming_->stopStatusTimer();
    idleWatch_->stop();
    if (IAnywhereAccess* anywhere = cloud_->anywhere()) anywhere->stop();

    auto all = clients_;
    auto byesSent = s_.clock.monoNow();
    for (const auto& c : all) ender_->endSession(c, quitReason);

    // Nothing a viewer held down may stay down once the host is gone.
    s_.injector.releaseAll();
    co_await streaming_->stopStreaming();

    frontDoor_->close();
    s_.browser.stop();

    s_.overlays.hideSessionIndicator();
    s_.overlays.clearAnnotations();
    s_.overlays.setCurtain(false, {});
    setShareWindows({});

    // The process may end as soon as this returns, so wait until every connection that was sent
    // a bye has been closed.
    if (!all.empty()) {
        auto spent = s_.clock.monoNow() - byesSent;
        if (spent < byeCancelBound) co_await s_.timers.sleep(byeCancelBound - spent);
    }
}

}  // namespace orvane
