// orvane-host: the host. The main actor runs on this thread: Qt's loop when a display can be
// used, else (or with --headless) an asio loop and the terminal only.
//
//   orvane-host [--headless] [--port N] [--browser-port N]   (0: any free port, shown once ready)
//
// The access code and the addresses to connect to go to the terminal only, never to the log.
// SIGINT, SIGTERM, "Quit Orvane" or the session manager shut down in order (every viewer hears
// its bye); a second request exits at once.
// At launch the update feed is checked once; ORVANE_UPDATE_SERVER and ORVANE_UPDATE_CA_FILE (or
// the settings "update.server" and "update.caFile") point it at another server.
//
// A line "send PATH" on standard input sends that file to every viewer let in, as choosing it
// in the interface would.

#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QTimer>
#include <QUrl>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/signal_set.hpp>
#include <asio/streambuf.hpp>
#include <asio/thread_pool.hpp>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <optional>
#include <string>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/LargeBuffers.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"
#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"
#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "OrvaneKit/net/avahi/AvahiServiceAdvertiser.h"
#include "OrvaneKit/net/ngtcp2/QuicHolePunchListener.h"
#include "OrvaneKit/records/Diagnostics.h"
#include "OrvaneKit/records/linux/LinuxMetricSource.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "Orvane_Host/app/BuildInfo.h"
#include "Orvane_Host/app/HeadlessAlertPresenter.h"
#include "Orvane_Host/app/HeadlessServices.h"
#include "Orvane_Host/app/ViewerPage.h"
#include "Orvane_Host/browser/BrowserServer.h"
#include "Orvane_Host/browser/BrowserTLS.h"
#include "Orvane_Host/browser/PipelineBrowserVideo.h"
#include "Orvane_Host/capture/CaptureScreenInfo.h"
#include "Orvane_Host/capture/DisplayStreams.h"
#include "Orvane_Host/capture/FrameWrappers.h"
#include "Orvane_Host/capture/pulse/PulseSystemAudioSource.h"
#include "Orvane_Host/capture/x11/X11CursorSource.h"
#include "Orvane_Host/capture/x11/X11DisplayChanges.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "Orvane_Host/input/SerialInputInjector.h"
#include "Orvane_Host/input/x11/XTestEventPoster.h"
#include "Orvane_Host/print/RemotePrint.h"
#include "Orvane_Host/print/inotify/InotifyFolderWatcher.h"
#include "Orvane_Host/reach/AnywhereAccess.h"
#include "Orvane_Host/reach/LocalAddresses.h"
#include "Orvane_Host/reach/natpmp/NatPmpBackend.h"
#include "Orvane_Host/session/FileInbox.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/HostIntents.h"
#include "Orvane_Host/session/MacActions.h"
#include "Orvane_Host/session/SessionHistory.h"
#include "Orvane_Host/session/TlsSessionListenerFactory.h"
#include "Orvane_Host/system/MachineName.h"
#include "Orvane_Host/system/canberra/CanberraSoundPlayer.h"
#include "Orvane_Host/system/dbus/DbusFileRevealer.h"
#include "Orvane_Host/system/dbus/DbusNotifier.h"
#include "Orvane_Host/system/dbus/HostBusService.h"
#include "Orvane_Host/system/dbus/LogindAwakeInhibitor.h"
#include "Orvane_Host/system/dbus/LogindPowerActions.h"
#include "Orvane_Host/system/linux/AutostartLoginItem.h"
#include "Orvane_Host/system/linux/LinuxHostFacts.h"
#include "Orvane_Host/system/linux/SpawnProcessRunner.h"
#include "Orvane_Host/system/linux/XdgWorkspace.h"
#include "Orvane_Host/system/tesseract/TesseractTextRecognizer.h"
#include "Orvane_Host/system/turbojpeg/TurboJpegEncoder.h"
#include "Orvane_Host/system/x11/X11DisplayPower.h"
#include "Orvane_Host/system/x11/X11FrontmostApp.h"
#include "Orvane_Host/system/x11/X11Pasteboard.h"
#include "Orvane_Host/system/x11/X11ScreenSaverInhibitor.h"
#include "Orvane_Host/system/x11/XInputKeyMonitor.h"
#include "Orvane_Host/ui/DesktopSettingsOpener.h"
#include "Orvane_Host/ui/DesktopShell.h"
#include "Orvane_Host/ui/QtAlertPresenter.h"
#include "Orvane_Host/ui/QtFilePicker.h"
#include "Orvane_Host/ui/QtMainActor.h"
#include "Orvane_Host/ui/QuitCoordinator.h"
#include "Orvane_Host/ui/overlays/ScreenOverlays.h"
#include "Orvane_Host/ui/overlays/ScreenShareWindow.h"
#include "Orvane_Host/ui/settings/CloudAccountQuery.h"
#include "Orvane_Host/ui/settings/HostSettingsView.h"
#include "Orvane_Host/update/UpdateChecker.h"
#include "Orvane_Host/update/curl/CurlHttpClient.h"

using namespace orvane;

// fontconfig keeps a little of what Qt's font database asked of it for good; not ours. (Read
// only by sanitizer builds.)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

int usage() {
    std::cerr << "usage: orvane-host [--headless] [--port N] [--browser-port N]\n";
    return 64;
}

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// The absolute path of this binary, for the autostart entry.
std::filesystem::path ownExecutable(const char* argv0) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::absolute(argv0, ec) : self;
}

// Whether an X display answers, asked before Qt starts: Qt ends the process when it cannot
// open one.
bool displayUsable() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    xcb_connection_t* c = xcb_connect(name, nullptr);
    bool ok = c && !xcb_connection_has_error(c);
    if (c) xcb_disconnect(c);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    returnLargeBuffersToSystem();
    std::uint16_t port = HostController::sessionPort;
    std::uint16_t browserPort = IBrowserServer::defaultPort;
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--headless") {
            headless = true;
        } else if ((a == "--port" || a == "--browser-port") && i + 1 < argc) {
            char* end = nullptr;
            long p = std::strtol(argv[++i], &end, 10);
            if (!end || *end || p < 0 || p > 65535) return usage();
            (a == "--port" ? port : browserPort) = static_cast<std::uint16_t>(p);
        } else {
            return usage();
        }
    }

    // One host per session: a second start brings the first one's window up instead.
    if (callHostBus("Show", false).reached) return 0;

    std::error_code ec;
    auto logDir = Paths::state() / "orvane-host";
    std::filesystem::create_directories(logDir, ec);
    Log::addSink(std::make_shared<FileLogSink>((logDir / "host.log").string()));

    // Diagnostics first, so that a crash from here on is reported at the next start.
    LinuxHostFacts facts;
    const std::string version =
        std::string(buildinfo::shortVersion) + " (" + buildinfo::buildNumber + ")";
    LinuxMetricSource metrics({.version = version});
    Diagnostics diagnostics({.app = {buildinfo::identifier, buildinfo::shortVersion,
                                     buildinfo::buildNumber, facts.osVersion()}},
                            &metrics);
    diagnostics.start();

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

    // The desktop interface, when there is a display to show it on.
    const bool desktop = !headless && displayUsable();
    std::unique_ptr<QApplication> app;
    std::unique_ptr<QtMainActor> guiActor;
    if (desktop) {
        app = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Orvane Host");
        QApplication::setQuitOnLastWindowClosed(false);
        guiActor = std::make_unique<QtMainActor>();
    }
    asio::io_context mainIo;
    IoContextMainActor loopActor(mainIo);
    MainActor& mainActor = desktop ? static_cast<MainActor&>(*guiActor) : loopActor;
    NetContext& net = NetContext::shared();
    AsioTimerService timers(net.context());
    FileSettingsStore settings(FileSettingsStore::standardPath());
    DbusNotifier notifier;
    HeadlessAlertPresenter headlessAlerts(mainActor);
    QtAlertPresenter desktopAlerts(mainActor);
    AlertPresenter& alerts = desktop ? static_cast<AlertPresenter&>(desktopAlerts) : headlessAlerts;
    // Slow jobs (status records, viewers' requests) stay off the main actor and the network.
    asio::thread_pool background(2);
    // The displays of $DISPLAY with the pointer drawn in and repeated frames dropped; one
    // enumeration names them for the screen list and the captures alike. Without a display or
    // a sound server, a viewer's admission still works and lastError says why nothing streams.
    auto x11Screens = std::make_shared<X11ScreenSource>();
    std::shared_ptr<ScreenSource> capture = std::make_shared<CursorOverlaySource>(
        std::make_shared<UnchangedFrameFilter>(x11Screens), std::make_shared<X11CursorSource>());
    CaptureScreenInfo screens(x11Screens, std::make_shared<X11DisplayChanges>(), timers,
                              mainActor.executor());
    // Stopping a capture waits on its queue in the network pool, so the streams' blocking work
    // runs on the background pool instead.
    DisplayStreams streams(
        {{capture, std::make_shared<LibraryEncoderBackend>(),
          std::make_shared<PulseSystemAudioSource>(), &SystemClock::shared(), &net},
         mainActor.executor(),
         background.get_executor()},
        bitrate(StreamQuality::balanced));
    AwakeInhibitors awake(
        {std::make_shared<LogindAwakeInhibitor>(), std::make_shared<X11ScreenSaverInhibitor>()});
    // Browser viewers: a capture pipeline and an injector of their own, apart from the sessions'.
    BrowserTLS browserTLS(
        {settings, BrowserTLS::standardIdentityFile(), {}, [] { return macDisplayName(); }});
    SerialInputInjector browserInjector(net.makeStrand("orvane.input"),
                                        std::make_shared<XTestEventPoster>(),
                                        SystemClock::shared());
    PipelineBrowserVideo browserVideo({capture, std::make_shared<LibraryEncoderBackend>(), nullptr,
                                       &SystemClock::shared(), &net});
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
    // Border, pill, drawing and curtain on the desktop; without one, only the strokes are kept.
    // The curtain goes up only while the capture can leave its windows out.
    NoOverlays noOverlays;
    XInputKeyMonitor curtainKeys;
    std::unique_ptr<ScreenOverlays> desktopOverlays;
    if (desktop)
        desktopOverlays = std::make_unique<ScreenOverlays>(ScreenOverlays::Options{
            mainActor, curtainKeys, [x11Screens] { return x11Screens->canExcludeWindows(); },
            [&screens](std::uint32_t id) -> std::optional<std::string> {
                for (const auto& d :
                     screens.shareableDisplays().value_or(std::vector<DisplayInfo>{}))
                    if (d.id == id) return d.name;
                return std::nullopt;
            }});
    IScreenOverlays& overlays =
        desktop ? static_cast<IScreenOverlays&>(*desktopOverlays) : noOverlays;
    LocalAddresses addresses;
    TlsSessionListenerFactory listeners(net);
    // Viewers' input goes into the X session of $DISPLAY, on one strand of the network pool.
    SerialInputInjector injector(net.makeStrand("orvane.input"),
                                 std::make_shared<XTestEventPoster>(), SystemClock::shared());
    LogindPowerActions power;
    // The clipboard of the display the host runs on; without a display there is none to share.
    auto x11Pasteboard = X11Pasteboard::open();
    NoPasteboard noPasteboard;
    Pasteboard& pasteboard =
        x11Pasteboard ? static_cast<Pasteboard&>(*x11Pasteboard) : noPasteboard;
    // Files from viewers land in the Downloads folder's "Orvane".
    FileInbox files(RemoteClient::filesFolder());
    // Viewers' commands, screen text and snapshots: programs and text recognition on a pool of
    // their own, so none of them holds up the host status or another viewer.
    NetContext actionPool(2);
    SpawnProcessRunner processes(actionPool.context());
    X11DisplayPower displayPower;
    X11FrontmostApp frontmost;
    TesseractTextRecognizer recognizer;
    TurboJpegEncoder jpeg;
    MacActions actions({mainActor, SystemClock::shared(), injector, power, displayPower, processes,
                        recognizer, jpeg, frontmost, actionPool.context().get_executor()},
                       {});
    CanberraSoundPlayer sound;
    NoShareWindows noShareWindows;
    QtScreenShareWindows desktopShareWindows(mainActor);
    IScreenShareWindows& shareWindows =
        desktop ? static_cast<IScreenShareWindows&>(desktopShareWindows) : noShareWindows;
    AvahiServiceAdvertiser advertiser;
    AutostartLoginItem loginItem(ownExecutable(argv[0]));
    NoFilePicker noFilePicker;
    QtFilePicker dialogFilePicker;
    FilePicker& filePicker = desktop ? static_cast<FilePicker&>(dialogFilePicker) : noFilePicker;
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
                                      status,     background.get_executor(),
                                      loginItem,  filePicker,
                                      &awake});
    HostController::setShared(host);
    if (desktopOverlays)
        desktopOverlays->setOnCurtainRebuilt([weak = std::weak_ptr(host)] {
            if (auto h = weak.lock()) h->curtainRebuilt();
        });
    // The feed's transfers run on the HTTP client's own thread. Nobody can answer an alert
    // here, so the checker only logs what it would ask.
    CurlHttpClient http;
    XdgWorkspace workspace;
    auto updates =
        UpdateChecker::make({mainActor, http, alerts, workspace, settings},
                            UpdateChecker::Feed::fromSettings(
                                settings, [](const char* name) { return std::getenv(name); }),
                            {buildinfo::shortVersion, buildinfo::buildNumber});
    // The router forwards the session port here while the host runs.
    NatPmpBackend portMapping(net.makeStrand("orvane.portmap"), timers);
    // The owner's records: a store that cannot open fails each call with the reason, and the
    // host runs on without them.
    auto cloudStore = openConfiguredCloudStore(
        keychain, makeInotifyWakeSignal, CloudAccountFile::standardPath(),
        [&](const CloudAccountFile& a) { return openPostgresBackend(a, keychain); });
    // The store's blocking calls, one at a time, off the main actor.
    auto cloudStrand = asio::make_strand(background);
    auto anywhere = AnywhereAccess::make(
        {mainActor,
         SystemClock::shared(),
         timers,
         settings,
         cloudStore,
         cloudStrand,
         addresses,
         {[&host] { return host->accessCode(); }, [&host] { return host->iCloudAuthToken(); },
          [] { return macDisplayName(); }, [&facts] { return facts.machineModel(); },
          [&identity] { return identity->fingerprint(); }},
         &portMapping,
         {quicHolePunchListeners(net), host->currentKeySource(),
          [&host](std::shared_ptr<Transport> t) { host->accept(std::move(t)); }}});
    auto reachability = anywhere->statusChanged.connect(
        [](const std::string& status) { say("Anywhere access: " + status); });
    host->setCloud({&sound, anywhere.get()});
    host->setOutsideRoutes(anywhere.get());
    // Any free port (0) is mapped once the listener has one.
    anywhere->mapSessionPort(port);
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
    // On the terminal only: the link carries the access code.
    std::string shownLink;
    auto showPairingLink = [&](bool again) {
        auto link = host->makePairingInfo(host->accessCode()).url();
        if (again || link != shownLink) say("Pairing link: " + link);
        shownLink = link;
    };
    auto routes = anywhere->routesChanged.connect([&showPairingLink] { showPairingLink(false); });
    std::optional<std::uint16_t> mappedPort;
    auto terminal = host->changed.connect([&](HostController::Field f) {
        if (f == HostController::Field::accessCode) say("Access code: " + host->accessCode());
        if (f == HostController::Field::lastError && host->lastError())
            say("Problem: " + *host->lastError());
        if (f != HostController::Field::listenerState) return;
        say(host->listenerState());
        if (host->listenerState().rfind("Ready", 0) != 0) return;
        showAddresses();
        showPairingLink(true);
        if (!host->listener()) return;
        if (auto listening = host->listener()->port(); mappedPort != listening) {
            mappedPort = listening;
            anywhere->mapSessionPort(listening);
        }
    });

    // Documents printed to the "Orvane" queue reach the inbox through the user's script.
    InotifyFolderWatcher printInbox(mainActor);
    auto print = RemotePrint::make({mainActor, timers, printInbox});

    auto work = asio::make_work_guard(mainIo);
    mainActor.post([&] {
        say("Orvane Host on " + macDisplayName());
        // The launch check runs in a task of its own; the launch does not wait for it.
        mainActor.post([updates] { updates->check(false); });
        host->start(keychain);
        // Last: a document found from now on has a host to go through.
        std::weak_ptr<HostController> weakHost = host;
        print->onDocument = [weakHost](const std::filesystem::path& pdf) {
            if (auto h = weakHost.lock()) h->printDocument(pdf);
        };
        print->start();
    });

    // Terminal commands, read on the main actor without waiting for them; not when running in
    // the background of a terminal, where reading would stop the process.
    asio::posix::stream_descriptor input(mainIo);
    bool inBackground = ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) != ::getpgrp();
    if (int fd = inBackground || desktop ? -1 : ::dup(STDIN_FILENO); fd >= 0) {
        std::error_code notReadable;
        input.assign(fd, notReadable);
        if (notReadable) ::close(fd);
    }
    asio::streambuf typed;
    std::function<void(const std::error_code&, std::size_t)> onLine = [&](const std::error_code& e,
                                                                          std::size_t) {
        if (e) return;  // end of input, or input that cannot be waited on
        std::istream lines(&typed);
        std::string line;
        std::getline(lines, line);
        if (line.rfind("send ", 0) == 0) {
            std::filesystem::path file = line.substr(5);
            say("Sending " + file.filename().string());
            for (const auto& c : host->clients())
                if (c->authorized()) host->sendFiles({file}, c);
        }
        asio::async_read_until(input, typed, '\n', onLine);
    };
    if (input.is_open()) asio::async_read_until(input, typed, '\n', onLine);

    // The shutdown every quit runs once: byes, then every held key and button let go.
    auto shutdownThen = [&](std::function<void()> done) {
        say("Shutting down\u2026");
        std::error_code ignored;
        input.close(ignored);
        asio::co_spawn(
            mainActor.executor(),
            [&, done]() -> asio::awaitable<void> {
                co_await host->shutdown();
                // The host let go of every held key and button, and so did the browser server
                // once its stop ran; the process ends once both injectors did it.
                browserServer->drain();
                browserInjector.afterPending(
                    [&, done] { injector.afterPending([&, done] { mainActor.post(done); }); });
            },
            asio::detached);
    };
    QuitCoordinator quit({shutdownThen,
                          [&](int code) {
                              if (desktop) {
                                  QCoreApplication::exit(code);
                              } else {
                                  work.reset();
                                  mainIo.stop();
                              }
                          },
                          [] { std::_Exit(1); }});

    // Signals wait on the network pool, whichever loop the main actor is.
    asio::signal_set signals(net.context(), SIGINT, SIGTERM);
    std::function<void(const std::error_code&, int)> onSignal = [&](const std::error_code& e, int) {
        if (e) return;
        signals.async_wait(onSignal);
        mainActor.post([&] { quit.request(); });
    };
    signals.async_wait(onSignal);

    std::unique_ptr<DesktopShell> shell;
    // Scripts, launchers and a second copy reach the host here; every call runs on the main actor.
    std::unique_ptr<HostBusService> busService;
    auto startBus = [&] {
        HostBusService::Outcome outcome;
        busService = HostBusService::start(mainActor,
                                           {[&] {
                                                auto a = intents::accessCode(*host);
                                                return HostBusService::Answer{a.value, a.dialog};
                                            },
                                            [&] {
                                                auto a = intents::changeAccessCode(*host);
                                                return HostBusService::Answer{a.value, a.dialog};
                                            },
                                            [&] { return intents::disconnectEveryone(*host); },
                                            [&] {
                                                if (!shell) return;
                                                shell->window().show();
                                                shell->window().raise();
                                                shell->window().activateWindow();
                                            }},
                                           std::nullopt, outcome);
        if (outcome == HostBusService::Outcome::nameTaken)
            say("Another Orvane Host owns the session bus name; scripts reach that one.");
        else if (outcome == HostBusService::Outcome::noBus)
            say("No session bus: orvane-hostctl cannot reach this host.");
    };
    DbusFileRevealer revealer(workspace);
    DesktopSettingsOpener settingsOpener;
    std::unique_ptr<HostSettingsView> settingsWindow;
    auto openSettings = [&] {
        if (!settingsWindow)
            settingsWindow = std::make_unique<HostSettingsView>(HostSettingsView::Services{
                shell->model(),
                history,
                settings::cloudAccountQuery(cloudStore, background.get_executor(), mainActor),
                &HostSettingsView::openDesktopPage,
                [&addresses] { return addresses.localAddresses(); },
                [&anywhere] { return anywhere->status(); },
                {logDir / "host.log.1", logDir / "host.log"},
                [](const std::string& name,
                   const std::string& filter) -> std::optional<std::filesystem::path> {
                    auto chosen = QFileDialog::getSaveFileName(
                        nullptr, {}, QDir::home().filePath(QString::fromStdString(name)),
                        QString::fromStdString(filter));
                    if (chosen.isEmpty()) return std::nullopt;
                    return std::filesystem::path(chosen.toStdString());
                },
                [&revealer](const std::filesystem::path& file) { revealer.reveal(file); },
                identity->fingerprint(),
                identity->isHardwareBacked(),
                std::string(buildinfo::shortVersion),
                std::string(buildinfo::buildNumber),
                updates.get(),
                {},
                &mainActor,
                background.get_executor()});
        settingsWindow->present();
    };
    if (desktop) {
        shell = std::make_unique<DesktopShell>(DesktopShell::Services{
            *host,
            pasteboard,
            timers,
            mainActor,
            {},  // the controller's own pairing link
            [&revealer](const std::filesystem::path& file) { revealer.reveal(file); },
            openSettings,
            [updates] { updates->check(true); },
            [&] { quit.request(); },
            [&settingsOpener](SettingsOpener::Page page) { settingsOpener.open(page); }});
        QObject::connect(app.get(), &QGuiApplication::commitDataRequest,
                         [&](QSessionManager&) { quit.request(); });
        startBus();
        app->exec();
        if (!quit.isTerminating()) {
            // The loop ended without a quit request (the session took the application down):
            // the viewers still hear their bye, for a few seconds at most.
            QEventLoop last;
            bool over = false;
            shutdownThen([&] {
                over = true;
                last.quit();
            });
            QTimer::singleShot(5000, &last, &QEventLoop::quit);
            if (!over) last.exec();
        }
        busService.reset();
        settingsWindow.reset();
        shell.reset();
    } else {
        startBus();
        mainIo.run();
        busService.reset();
    }
    terminal.disconnect();
    diagnostics.finish();
    say("Stopped.");
    // Work waiting on the cloud store when the loop stopped comes back to the main actor: let
    // it run to its end while everything it uses exists (left queued, it would be destroyed
    // after them). A round ends once the store's queue has drained.
    for (int round = 0; round < 50; ++round) {
        std::promise<void> drained;
        asio::post(cloudStrand, [&drained] { drained.set_value(); });
        drained.get_future().wait();
        mainIo.restart();
        std::size_t ran = mainIo.poll();
        if (app) {
            QCoreApplication::sendPostedEvents();
            if (round < 2) ++ran;  // Qt cannot say what it ran
        }
        if (ran == 0) break;
    }
    background.join();
    actionPool.stop();
    net.stop();
    return 0;
}
