// The signs of a tray appearing, on the test display and the test session bus: an XEmbed tray
// announcing that it took the tray selection, and a StatusNotifierWatcher taking its bus name.

#include "app/view/tray_signals.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <cstdlib>
#include <string>

#include "x11/x11_driver.hpp"

namespace {

QCoreApplication& qtLoop() {
    static int argc = 1;
    static char name[] = "test_x11";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's globals may already be gone at exit.
    static auto* application = new QCoreApplication(argc, argv);
    return *application;
}

template <class Predicate>
bool runLoopUntil(Predicate done, int milliseconds = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

xcb_atom_t atom(xcb_connection_t* connection, const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr);
    xcb_atom_t value = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return value;
}

// What a tray manager sends to the root window once it owns a selection (the freedesktop system
// tray protocol, after the ICCCM's manager selections).
void announceManager(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t selection,
                     xcb_window_t owner) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = root;
    message.type = atom(connection, "MANAGER");
    message.data.data32[0] = XCB_CURRENT_TIME;
    message.data.data32[1] = selection;
    message.data.data32[2] = owner;
    xcb_send_event(connection, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connection);
}

TEST(TraySignals, AnXEmbedTrayTakingTheSelectionIsHeardAndOtherManagersAreNot) {
    x11_test::Driver x;
    if (auto why = x.unavailable(); !why.empty()) GTEST_SKIP() << why;
    qtLoop();
    auto* connection = x.connection();
    const auto tray = atom(connection, "_NET_SYSTEM_TRAY_S0");
    auto* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, tray), nullptr);
    const bool taken = owner && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    if (taken) GTEST_SKIP() << "the X display already has a system tray";

    int appeared = 0;
    kestro::view::TraySignals signs([&] { ++appeared; });
    runLoopUntil([] { return false; }, 100);

    const xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, x.root(), 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    // Another manager selection (a clipboard manager's, say) is no tray.
    announceManager(connection, x.root(), atom(connection, "CLIPBOARD_MANAGER"), window);
    runLoopUntil([] { return false; }, 300);
    EXPECT_EQ(appeared, 0);

    xcb_set_selection_owner(connection, window, tray, XCB_CURRENT_TIME);
    announceManager(connection, x.root(), tray, window);
    EXPECT_TRUE(runLoopUntil([&] { return appeared == 1; })) << "the tray's announcement went unheard";
    // A tray that restarts announces itself again, and is heard again.
    announceManager(connection, x.root(), tray, window);
    EXPECT_TRUE(runLoopUntil([&] { return appeared == 2; }));

    xcb_destroy_window(connection, window);
    x.sync();
}

TEST(TraySignals, AStatusNotifierWatcherTakingItsNameIsHeardEachTime) {
    qtLoop();
    auto bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("watcher-stand-in"));
    if (!bus.isConnected()) GTEST_SKIP() << "no session bus (scripts/test.sh starts one)";
    const auto name = QStringLiteral("org.kde.StatusNotifierWatcher");
    if (bus.interface()->isServiceRegistered(name).value())
        GTEST_SKIP() << "the session bus already has a StatusNotifierWatcher";

    int appeared = 0;
    kestro::view::TraySignals signs([&] { ++appeared; });
    runLoopUntil([] { return false; }, 100);
    EXPECT_EQ(appeared, 0);
    for (int start = 1; start <= 2; ++start) {
        ASSERT_TRUE(bus.registerService(name));
        EXPECT_TRUE(runLoopUntil([&] { return appeared == start; })) << "start " << start;
        bus.unregisterService(name);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("watcher-stand-in"));
}

}  // namespace
