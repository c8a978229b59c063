#include "app/view/tray_waiter.hpp"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariantMap>
#include <iostream>
#include <memory>

namespace kestro::view {

namespace {

constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";

// One connection of our own to the X server for the whole run (none without a display).
struct XConnection {
    xcb_connection_t* connection = nullptr;
    int screen = 0;
    XConnection() {
        connection = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(connection)) {
            xcb_disconnect(connection);
            connection = nullptr;
        }
    }
    ~XConnection() {
        if (connection) xcb_disconnect(connection);
    }
};

}  // namespace

TrayWaiter::TrayWaiter(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks)) {}

void TrayWaiter::start() {
    if (started_) return;
    started_ = true;
    if (hooks_.trayPresent && hooks_.trayPresent()) {
        shown_ = true;
        if (hooks_.show) hooks_.show();
        return;
    }
    if (hooks_.report) hooks_.report(noTraySummary, noTrayBody);
}

void TrayWaiter::traySignalled() {
    if (!started_ || !hooks_.trayPresent || !hooks_.trayPresent()) return;
    shown_ = true;
    if (hooks_.show) hooks_.show();
}

bool TrayWaiter::statusNotifierHostPresent() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (!bus.interface()->isServiceRegistered(QString::fromLatin1(watcherService)).value()) return false;
    // A watcher without a host shows nothing (Qt then falls back to XEmbed).
    auto get = QDBusMessage::createMethodCall(QString::fromLatin1(watcherService),
                                              QStringLiteral("/StatusNotifierWatcher"),
                                              QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromLatin1(watcherService) << QStringLiteral("IsStatusNotifierHostRegistered");
    auto reply = bus.call(get, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return reply.arguments().front().value<QDBusVariant>().variant().toBool();
}

bool TrayWaiter::xembedTrayPresent() {
    static XConnection x;
    if (!x.connection) return false;
    auto name = "_NET_SYSTEM_TRAY_S" + std::to_string(x.screen);
    auto atomCookie = xcb_intern_atom(x.connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(x.connection, atomCookie, nullptr), &std::free);
    if (!atom) return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(x.connection, xcb_get_selection_owner(x.connection, atom->atom), nullptr),
        &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

void TrayWaiter::reportEverywhere(const std::string& summary, const std::string& body) {
    std::cerr << "kestro: " << summary << ". " << body << '\n';
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Kestro") << 0u << QStringLiteral("kestro") << QString::fromStdString(summary)
           << QString::fromStdString(body) << QStringList() << QVariantMap() << -1;
    bus.asyncCall(notify);
}

}  // namespace kestro::view
