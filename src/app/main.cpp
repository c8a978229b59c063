// The Kestro tray application.
//
//   kestro                   starts the tray application
//   kestro --set-credential  reads the backend credential from standard input and stores it
//   kestro --version         prints the version and exits

#include <QApplication>
#include <QTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_settings.hpp"
#include "app/backend_config.hpp"
#include "app/graceful_exit.hpp"
#include "app/menu_bar_state_manager.hpp"
#include "app/menu_bar_view.hpp"
#include "app/network_service.hpp"
#include "app/session_manager.hpp"
#include "app/session_services.hpp"
#include "app/streak_manager.hpp"
#include "app/transcript_manager.hpp"
#include "app/transcript_outbox.hpp"
#include "app/view/menu_key_forwarder.hpp"
#include "app/view/tray_presenter.hpp"
#include "app/view/tray_signals.hpp"
#include "app/view/tray_waiter.hpp"
#include "app/view/update_dialogs.hpp"
#include "platform/defaults/user_defaults.hpp"
#include "platform/desktop/instance_lock.hpp"
#include "platform/desktop/launcher_entry.hpp"
#include "platform/desktop/login_item.hpp"
#include "platform/desktop/updater.hpp"
#include "platform/desktop/url_opener.hpp"
#include "platform/hotkeys/kglobalaccel_hot_key_backend.hpp"
#include "platform/hotkeys/portal_hot_key_backend.hpp"
#include "platform/hotkeys/portal_reports.hpp"
#include "platform/hotkeys/xcb_hot_key_backend.hpp"
#include "platform/http/http_client.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/ui/qt_main_executor.hpp"
#include "realtime/transport/websocket_connector.hpp"
#include "shortcuts/global_shortcuts.hpp"
#include "shortcuts/modifiers.hpp"
#include "shortcuts/qt/desktop_trigger.hpp"
#include "shortcuts/qt/qt_keys.hpp"
#include "shortcuts/shortcut_layer.hpp"

// The project's version, given by the build (CMake's project version).
#ifndef KESTRO_VERSION
#error "KESTRO_VERSION must be defined by the build"
#endif

namespace {

int setCredential() {
    try {
        kestro::storeCredentialFromStream(std::cin, platform::UserDefaults::standard());
    } catch (const std::exception& error) {
        std::cerr << "kestro: " << error.what() << '\n';
        return 1;
    }
    std::cerr << "kestro: credential stored\n";
    return 0;
}

int runTray(int argc, char** argv) {
    // A session that ends while the app starts ends it cleanly once the signals are watched.
    kestro::GracefulExit::holdSignalsUntilWatched();
    // One instance per user session: a second start leaves the first one alone.
    std::optional<platform::InstanceLock> instanceLock;
    std::string lockProblem;
    switch (platform::InstanceLock::acquire(platform::InstanceLock::defaultPath("kestro"), instanceLock, &lockProblem)) {
        case platform::InstanceLock::Outcome::acquired: break;
        case platform::InstanceLock::Outcome::heldElsewhere: std::cerr << "Kestro is already running\n"; return 0;
        case platform::InstanceLock::Outcome::unavailable:
            std::cerr << "kestro: " << lockProblem << "; not checking for another running instance\n";
            break;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestro"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kestro"));
    QApplication::setApplicationVersion(QStringLiteral(KESTRO_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt has taken its own options out of argv; what is left must be ours.
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != platform::launchedAtLoginArgument) {
            std::cerr << "kestro: unknown argument " << argv[i]
                      << "\nusage: kestro [--set-credential | --version]\n";
            return 2;
        }
    }

    platform::QtExecutionContext mainContext;
    platform::Runtime runtime(mainContext.get_executor());
    // Work still queued for the main thread when the app ends (a menu refresh waiting to retry, a
    // task's next step waiting in its strand) may hold timers of the shared executor. Once
    // everything declared below is gone, the shared threads are stopped, so that nothing more
    // reaches the main thread, and that work is discarded while the shared executor still exists.
    struct DiscardQueuedMainWork {
        platform::Runtime& runtime;
        platform::QtExecutionContext& context;
        ~DiscardQueuedMainWork() {
            runtime.stop();
            context.discardQueuedWork();
        }
    } discardQueuedMainWork{runtime, mainContext};
    auto main = runtime.mainExecutor();
    const bool wayland = platform::isWaylandSession(std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"));
    auto shared = runtime.sharedExecutor();

    auto& defaults = platform::UserDefaults::standard();
    auto& notifications = platform::NotificationCenter::defaultCenter();
    auto http = std::make_shared<platform::HttpClient>();
    kestro::NetworkService network(*http, defaults, kestro::backendBaseURL(defaults));
    auto urlOpener = std::make_shared<platform::XdgUrlOpener>();

    // The updater starts at once; then launch at login is switched on (at every start, whatever
    // was chosen before), then automatic checks and downloads.
    auto dialogs = std::make_shared<kestro::view::UpdateDialogs>(KESTRO_VERSION);
    platform::Updater updater(main, shared, {kestro::updateFeedURL(defaults), KESTRO_VERSION},
                              platform::Updater::httpFetch(http), urlOpener, dialogs);
    updater.start();
    platform::LoginItem loginItem(std::make_shared<platform::XdgAutostartService>(
        platform::XdgAutostartService::defaultEntryPath(), platform::XdgAutostartService::currentExecutable()));
    loginItem.setEnabled(true);
    updater.setAutomaticallyChecksForUpdates(true);
    updater.setAutomaticallyDownloadsUpdates(true);

    kestro::MenuBarStateManager stateManager(
        main, shared, [&network] { return kestro::fetchUsage(network); }, notifications);
    auto transcripts = std::make_shared<kestro::TranscriptManager>(
        network, kestro::TranscriptOutbox(kestro::TranscriptOutbox::defaultFolder()));
    auto sessionManager = kestro::SessionManager::create(
        main, shared, kestro::makeSessionServices(runtime, network, stateManager, transcripts));
    // Transcripts whose upload failed (in this run or an earlier one) are posted again in the
    // background.
    transcripts->startResending(main, shared);
    // Quitting, a signal or the session manager ends the running call before the application.
    std::function<void()> endLoop = [] { QCoreApplication::quit(); };
    kestro::GracefulExit gracefulExit({.main = main,
                                       .timers = shared,
                                       .sessionManager = sessionManager,
                                       .transcripts = transcripts,
                                       .openConnections = &realtime::WebSocketConnector::openConnections,
                                       .done = [&endLoop] { endLoop(); }});
    gracefulExit.watchSignals(shared);
    kestro::StreakManager streak(defaults);

    kestro::MenuBarView view({
        .stateManager = &stateManager,
        .sessionManager = sessionManager,
        .updater = &updater,
        .urlOpener = urlOpener.get(),
        .notifications = &notifications,
        .credentialMissing = &stateManager.isCredentialMissing,
        .credentialRejected = &stateManager.isCredentialRejected,
        .credentialCommand = kestro::credentialCommand(platform::XdgAutostartService::currentExecutable(),
                                                       std::getenv("PATH") ? std::getenv("PATH") : ""),
        // What triggers each shortcut, through the process-wide layer below.
        .shortcutText =
            [](std::string_view name) {
                auto layer = GlobalShortcuts::ShortcutLayer::shared();
                return layer ? layer->displayedShortcut(std::string(name)) : std::string();
            },
        // The same by their keys, for a menu the desktop's tray host draws: the trigger the
        // desktop bound where it binds them (its first alternative; none while unbound, or where
        // the desktop's words cannot be read as keys with certainty), else the stored shortcut.
        .shortcutKeys =
            [words = GlobalShortcuts::DesktopKeyWords::forLanguage(QLocale::system())](std::string_view name) {
                auto layer = GlobalShortcuts::ShortcutLayer::shared();
                if (!layer) return std::string();
                if (auto trigger = layer->desktopTrigger(std::string(name))) {
                    return GlobalShortcuts::desktopTriggerKeys(*trigger, words);
                }
                auto stored = layer->shownShortcut(std::string(name));
                if (!stored) return std::string();
                return GlobalShortcuts::keySequence(*stored, layer->keyboardLayout())
                    .toString(QKeySequence::PortableText)
                    .toStdString();
            },
        .streakText = [&streak] { return streak.streakText(); },
        .upcomingStreakText = [&streak] { return streak.upcomingStreakText(); },
        .schedule = [](std::chrono::milliseconds delay,
                       std::function<void()> fn) { QTimer::singleShot(delay, qApp, std::move(fn)); },
        .supportAddress = kestro::supportAddress(defaults),
        .quit = [&gracefulExit] { gracefulExit.request(); },
    });
    kestro::view::TrayPresenter presenter({
        .menu = [&view] { return view.menu(); },
        .trigger = [&view](const std::string& id) { view.trigger(id); },
        .appear = [&view] { view.appear(); },
    });
    view.setChangeHandler([&presenter] { presenter.refresh(); });
    presenter.setMenuOnly(wayland);

    // The two global shortcuts, declared with their defaults and bound once: through X11 grabs,
    // or in a Wayland session through the desktop portal (the grabs where it has none); on KDE
    // Plasma, X11 or Wayland, through KDE's own shortcut service (the others where it is missing).
    const bool kde = platform::namesKdeDesktop(std::getenv("XDG_CURRENT_DESKTOP"));
    auto x11Keys = platform::XcbHotKeyBackend::create(main, shared, {}, !wayland);
    const std::map<std::string, std::string> shortcutTexts{{"startSession", "Start Call"}, {"endSession", "End Call"}};
    auto sessionKeys = [=]() -> std::shared_ptr<platform::HotKeyBackend> {
        if (!wayland) return x11Keys;
        platform::PortalHotKeyBackend::Options portal;
        portal.descriptions = shortcutTexts;
        portal.withX11 = std::getenv("DISPLAY") && *std::getenv("DISPLAY");
        portal.warn = &kestro::view::TrayWaiter::reportEverywhere;
        // The portal knows the app by its launcher entry: one is made where none it finds would
        // start a program that exists (a run from the build tree, an unusual prefix).
        try {
            auto entry = platform::LauncherEntry::forCurrentProgram(portal.applicationId);
            if (entry.ensure() == platform::LauncherEntry::Outcome::leftAlone) {
                // The user's own entry: told once, on standard error and as a notification.
                auto report = platform::portal::launcherEntryUnusable(entry.userEntry().string(),
                                                                      entry.problem().value_or("it is unusable"));
                kestro::view::TrayWaiter::reportEverywhere(report.summary, report.body);
            }
        } catch (const platform::LauncherEntryError& error) {
            std::cerr << "kestro: " << error.what() << '\n';
        }
        return platform::PortalHotKeyBackend::create(main, shared, portal, x11Keys);
    };
    std::shared_ptr<platform::HotKeyBackend> hotKeys;
    if (kde) {
        platform::KGlobalAccelHotKeyBackend::Options options;
        options.descriptions = shortcutTexts;
        hotKeys = platform::KGlobalAccelHotKeyBackend::create(main, shared, options, x11Keys->keyboardLayout(),
                                                              x11Keys, sessionKeys);
    } else {
        hotKeys = sessionKeys();
    }
    auto shortcuts = GlobalShortcuts::ShortcutLayer::create(defaults, notifications, main, hotKeys,
                                                            x11Keys->keyboardLayout());
    GlobalShortcuts::ShortcutLayer::install(shortcuts);
    GlobalShortcuts::Name startSession("startSession",
                                       GlobalShortcuts::Shortcut(GlobalShortcuts::Key::p, {GlobalShortcuts::Modifier::control}));
    GlobalShortcuts::Name endSession("endSession",
                                     GlobalShortcuts::Shortcut(GlobalShortcuts::Key::m, {GlobalShortcuts::Modifier::control}));
    GlobalShortcuts::onKeyDown(startSession, [&view] { view.handleStartShortcut(); });
    GlobalShortcuts::onKeyDown(endSession, [&view] { view.handleEndShortcut(); });

    // While the menu is open it holds the keyboard and the grabs cannot fire: the layer is told
    // and gets the presses the menu receives.
    new kestro::view::MenuKeyForwarder(
        presenter.menu(),
        [&notifications, shortcuts](bool tracking) {
            // A hot key another client held at start may be free by now.
            if (tracking) shortcuts->retryRefusedHotKeys();
            notifications.post(tracking ? GlobalShortcuts::menuDidBeginTrackingNotification
                                        : GlobalShortcuts::menuDidEndTrackingNotification);
        },
        [hotKeys, shortcuts](const QKeyEvent& event) {
            auto keyCode = hotKeys->carbonKeyCode(event.nativeScanCode());
            if (!keyCode) return false;
            // The modifiers as the server's modifier map names them, like the grabs themselves.
            auto flags = GlobalShortcuts::cocoaModifiersFromCarbon(
                hotKeys->carbonModifiers(static_cast<std::uint16_t>(event.nativeModifiers())));
            auto type = event.type() == QEvent::KeyRelease ? GlobalShortcuts::KeyEvent::Type::keyUp
                                                           : GlobalShortcuts::KeyEvent::Type::keyDown;
            return shortcuts->handleMenuKeyEvent({type, *keyCode, flags});
        });

    // The icon is made once a tray is there; until then the user is told there is none. A tray
    // that appears later, or anew after a panel restart, is heard of by its own signals.
    kestro::view::TrayWaiter trayWaiter({
        .trayPresent = &kestro::view::TrayWaiter::anyTrayPresent,
        .show = [&presenter] { presenter.show(); },
        .report = &kestro::view::TrayWaiter::reportEverywhere,
    });
    kestro::view::TraySignals traySignals([&trayWaiter] { trayWaiter.traySignalled(); });
    trayWaiter.start();
    // The usage counts are asked for at once; the streak counts only when the menu is shown.
    view.start();
    QApplication::exec();

    // The loop ended without us (the session manager's quit): the call is ended in a loop of its own.
    if (!gracefulExit.finished()) {
        QEventLoop ending;
        endLoop = [&ending] { ending.quit(); };
        gracefulExit.request();
        ending.exec();
    }
    GlobalShortcuts::ShortcutLayer::install(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--set-credential") return setCredential();
    // Needs no display: answered before the toolkit starts.
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "Kestro " << KESTRO_VERSION << '\n';
        return 0;
    }
    return runTray(argc, argv);
}
