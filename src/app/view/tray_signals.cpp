#include "app/view/tray_signals.hpp"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QSocketNotifier>
#include <cstdlib>
#include <memory>
#include <string>

namespace kestro::view {

namespace {

constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";

xcb_atom_t atom(xcb_connection_t* connection, const std::string& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr),
        &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace

// A connection of our own to the X server that hears what is sent to the root window's
// structure: a tray manager announces itself there.
struct TraySignals::X {
    xcb_connection_t* connection = nullptr;
    xcb_atom_t manager = XCB_ATOM_NONE;
    xcb_atom_t selection = XCB_ATOM_NONE;

    X() {
        int screenNumber = 0;
        connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(connection)) return;
        auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
        if (!screens.rem) return;
        manager = atom(connection, "MANAGER");
        selection = atom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, screens.data->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
    }
    ~X() {
        if (connection) xcb_disconnect(connection);
    }
    bool usable() const {
        return connection && !xcb_connection_has_error(connection) && manager != XCB_ATOM_NONE &&
               selection != XCB_ATOM_NONE;
    }
};

TraySignals::TraySignals(std::function<void()> appeared, QObject* parent)
    : QObject(parent), appeared_(std::move(appeared)), x_(std::make_unique<X>()) {
    auto bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        // A watcher (re)starting: the panel started, or came back after a crash or restart.
        busWatcher_ = new QDBusServiceWatcher(QString::fromLatin1(watcherService), bus,
                                              QDBusServiceWatcher::WatchForRegistration, this);
        connect(busWatcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] { hostRegistered(); });
        // A host registering with a watcher already there.
        bus.connect(QString::fromLatin1(watcherService), QStringLiteral("/StatusNotifierWatcher"),
                    QString::fromLatin1(watcherService), QStringLiteral("StatusNotifierHostRegistered"), this,
                    SLOT(hostRegistered()));
    }
    if (x_->usable()) {
        xNotifier_ =
            new QSocketNotifier(xcb_get_file_descriptor(x_->connection), QSocketNotifier::Read, this);
        connect(xNotifier_, &QSocketNotifier::activated, this, [this] { readX(); });
    }
}

TraySignals::~TraySignals() = default;

void TraySignals::hostRegistered() {
    if (appeared_) appeared_();
}

void TraySignals::readX() {
    bool announced = false;
    while (auto* event = xcb_poll_for_event(x_->connection)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == x_->manager && message->format == 32 &&
                message->data.data32[1] == x_->selection)
                announced = true;
        }
        std::free(event);
    }
    // The server went away (the session ends): nothing more to hear.
    if (xcb_connection_has_error(x_->connection)) xNotifier_->setEnabled(false);
    if (announced && appeared_) appeared_();
}

}  // namespace kestro::view
