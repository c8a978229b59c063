#pragma once
// The shortcut layer on the portal backend, its main executor an io_context run by the test
// thread, the bus's waits on a pool thread, all on a private bus of the test's own.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/defaults/user_defaults.hpp"
#include "platform/hotkeys/fake_hot_key_backend.hpp"
#include "platform/hotkeys/portal_hot_key_backend.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/print.hpp"
#include "shortcuts/global_shortcuts.hpp"
#include "support/backend_environment.hpp"
#include "wayland/bus_service.hpp"

namespace wayland_test {

inline const GlobalShortcuts::Shortcut controlP{GlobalShortcuts::Key::p, {GlobalShortcuts::Modifier::control}};
inline const GlobalShortcuts::Shortcut controlM{GlobalShortcuts::Key::m, {GlobalShortcuts::Modifier::control}};

class PortalLayerTest : public ::testing::Test {
protected:
    PortalLayerTest()
        : bus(folder.path() / "bus"),
          defaults(folder.path() / "defaults.json"),
          printed_([this](std::string_view line) { lines.emplace_back(line); }),
          changes_(notifications.addObserver(GlobalShortcuts::shortcutByNameDidChangeNotification,
                                             [this](const platform::Notification& notification) {
                                                 if (auto* name = notification.get<GlobalShortcuts::Name>("name")) {
                                                     changed.push_back(name->rawValue);
                                                 }
                                             })) {}

    ~PortalLayerTest() override {
        layer.reset();
        backend.reset();
        pool.join();
    }

    void startLayer(std::chrono::milliseconds callTimeout = std::chrono::seconds(5)) {
        platform::PortalHotKeyBackend::Options options;
        options.busAddress = bus.address();
        options.callTimeout = callTimeout;
        options.descriptions = {{"startSession", "Start Call"}, {"endSession", "End Call"}};
        backend = platform::PortalHotKeyBackend::create(io.get_executor(), pool.get_executor(), options, fallback);
        layer = GlobalShortcuts::ShortcutLayer::create(defaults, notifications, io.get_executor(), backend,
                                                       platform::XkbKeyboardLayout::fromNames("us"));
    }

    // Runs the main executor until `condition` holds, at most `limit`.
    template <class Condition>
    bool runUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            io.restart();
            io.run_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    void runFor(std::chrono::milliseconds span) {
        runUntil([] { return false; }, span);
    }

    support::TemporaryFolder folder;
    PrivateBus bus;
    boost::asio::io_context io;
    boost::asio::thread_pool pool{1};
    platform::UserDefaults defaults;
    platform::NotificationCenter notifications;
    std::shared_ptr<platform::FakeHotKeyBackend> fallback = std::make_shared<platform::FakeHotKeyBackend>();
    std::shared_ptr<platform::PortalHotKeyBackend> backend;
    std::shared_ptr<GlobalShortcuts::ShortcutLayer> layer;
    std::vector<std::string> lines;
    std::vector<std::string> changed;

private:
    platform::ScopedPrintSink printed_;
    platform::ObserverToken changes_;
};

}  // namespace wayland_test
