// orvane-host: the host without a desktop interface. The main actor runs on this thread.
//
//   orvane-host [--port N] [--browser-port N]   (0: any free port, shown once ready)
//
// The access code and the addresses to connect to go to the terminal only, never to the log.
// SIGINT or SIGTERM shuts down in order (every viewer hears its bye); a second one exits at once.

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/thread_pool.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/net/avahi/AvahiServiceAdvertiser.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "Orvane_Host/app/HeadlessAlertPresenter.h"
#include "Orvane_Host/app/HeadlessServices.h"
#include "Orvane_Host/app/InterfaceAddresses.h"
#include "Orvane_Host/app/ViewerPage.h"
#include "Orvane_Host/browser/BrowserServer.h"
#include "Orvane_Host/browser/BrowserTLS.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/SessionHistory.h"
#include "Orvane_Host/session/TlsSessionListenerFactory.h"
#include "Orvane_Host/system/MachineName.h"
#include "Orvane_Host/system/dbus/DbusNotifier.h"
#include "Orvane_Host/system/dbus/LogindPowerActions.h"
#include "Orvane_Host/system/linux/LinuxHostFacts.h"

using namespace orvane;

namespace {

int usage() {
    std::cerr << "usage: orvane-host [--port N] [--browser-port N]\n";
    return 64;
}

void say(const std::string& line) {
    std::cout << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = HostController::sessionPort;
    std::uint16_t browserPort = IBrowserServer::defaultPort;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--port" || a == "--browser-port") && i + 1 < argc) {
            char* end = nullptr;
            long p = std::strtol(argv[++i], &end, 10);
            if (!end || *end || p < 0 || p > 65535) return usage();
            (a == "--port" ? port : browserPort) = static_cast<std::uint16_t>(p);
        } else {
            return usage();
        }
    }

    std::error_code ec;
    auto logDir = Paths::state() / "orvane-host";
    std::filesystem::create_directories(logDir, ec);
    Log::addSink(std::make_shared<FileLogSink>((logDir / "host.log").string()));

    FileSecretStore keychain(FileSecretStore::standardFile());
    // Nothing can run without the machine's identity; say why instead of failing later.
    std::optional<SecureIdentity> identity;
    try {
        identity.emplace(keychain, SecureIdentity::hostApplicationId);
    } catch (const std::exception& e) {
        std::cerr << "orvane-host: cannot read this machine's identity from the keychain ("
                  << e.what() << "); nothing was changed. ";
        if (keychain.problem() == FileSecretStore::Problem::unparsable)
            std::cerr << "The keychain file " << FileSecretStore::standardFile().string()
                      << " does not parse: restore it from a backup, or move it aside to start "
                      << "with a new identity (paired devices will then need to trust this "
                      << "machine again)." << std::endl;
        else
            std::cerr << "Check the file's permissions and try again." << std::endl;
        return 1;
    }

    asio::io_context mainIo;
    IoContextMainActor mainActor(mainIo);
    NetContext& net = NetContext::shared();
    AsioTimerService timers(net.context());
    FileSettingsStore settings(FileSettingsStore::standardPath());
    DbusNotifier notifier;
    HeadlessAlertPresenter alerts(mainActor);
    NoScreens screens;
    NoDisplayStreams streams;
    NoOverlays overlays;
    InterfaceAddresses addresses;
    TlsSessionListenerFactory listeners(net);
    NoInputInjector injector;
    LogindPowerActions power;
    NoPasteboard pasteboard;
    NoMacActions actions;
    NoFileMessages files;
    NoShareWindows shareWindows;
    // Slow jobs (status records, viewers' requests) stay off the main actor and the network.
    asio::thread_pool background(2);
    // Browser viewers: their own injector and video, apart from the sessions'.
    BrowserTLS browserTLS(
        {settings, BrowserTLS::standardIdentityFile(), {}, [] { return macDisplayName(); }});
    NoInputInjector browserInjector;
    NoBrowserVideo browserVideo;
    std::shared_ptr<BrowserServer> browserServer;
    browserServer =
        BrowserServer::make({net, screens, browserInjector, browserVideo, background.get_executor(),
                             [&browserTLS] { return browserTLS.identity(); },
                             [] {
                                 auto page = embeddedViewerPage();
                                 return std::optional<Bytes>(Bytes(page.begin(), page.end()));
                             },
                             browserPort, BrowserServer::defaultHeadTimeout,
                             [&mainActor, &browserServer](std::uint16_t bound) {
                                 mainActor.post([&browserServer, bound] {
                                     say(std::string("Browser access on ") +
                                         (browserServer->usesTLS() ? "https" : "http") +
                                         "://127.0.0.1:" + std::to_string(bound));
                                 });
                             }});
    IBrowserServer& browser = *browserServer;
    AvahiServiceAdvertiser advertiser;
    LinuxHostFacts facts;
    HostStatusBuilder status(facts, SystemClock::shared());
    // One writer at a time keeps the history file's saves in order.
    SessionHistory history(SessionHistory::standardFile(), SystemClock::shared(),
                           net.makeStrand("orvane.history"));

    auto host = HostController::make({mainActor,  SystemClock::shared(),
                                      timers,     settings,
                                      notifier,   alerts,
                                      screens,    streams,
                                      browser,    overlays,
                                      addresses,  history,
                                      injector,   power,
                                      pasteboard, actions,
                                      files,      shareWindows,
                                      status,     background.get_executor()});
    HostController::setShared(host);
    host->setFrontDoor({listeners,
                        advertiser,
                        {&*identity, nullptr, &net},
                        [] { return macDisplayName(); },
                        port});

    auto showAddresses = [&] {
        // Port 0 asks for any free port; show the one that was given.
        std::uint16_t port = host->listener() ? host->listener()->port() : 0;
        auto lists = addresses.localAddresses();
        say("Connect to:");
        for (const auto& a : lists.ipv4) say("  " + a + " port " + std::to_string(port));
        for (const auto& a : lists.ipv6) say("  " + a + " port " + std::to_string(port));
        if (lists.ipv4.empty() && lists.ipv6.empty())
            say("  127.0.0.1 port " + std::to_string(port) + " (this machine only)");
    };
    auto terminal = host->changed.connect([&](HostController::Field f) {
        if (f == HostController::Field::accessCode) say("Access code: " + host->accessCode());
        if (f == HostController::Field::lastError && host->lastError())
            say("Problem: " + *host->lastError());
        if (f != HostController::Field::listenerState) return;
        say(host->listenerState());
        if (host->listenerState().rfind("Ready", 0) == 0) showAddresses();
    });

    auto work = asio::make_work_guard(mainIo);
    asio::post(mainIo, [&] {
        say("Orvane Host on " + macDisplayName());
        host->start(keychain);
    });

    asio::signal_set signals(mainIo, SIGINT, SIGTERM);
    bool stopping = false;
    std::function<void(const std::error_code&, int)> onSignal = [&](const std::error_code& e, int) {
        if (e) return;
        if (stopping) std::_Exit(1);
        stopping = true;
        signals.async_wait(onSignal);
        say("Shutting down\u2026");
        asio::co_spawn(
            mainIo,
            [&]() -> asio::awaitable<void> {
                co_await host->shutdown();
                work.reset();
                mainIo.stop();
            },
            asio::detached);
    };
    signals.async_wait(onSignal);

    mainIo.run();
    terminal.disconnect();
    say("Stopped.");
    background.join();
    net.stop();
    return 0;
}
