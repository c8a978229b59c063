#pragma once
// The shortcut layer on the kglobalaccel backend against the real service: the main executor an
// io_context run by the test thread, the bus's waits on a pool thread; keys pressed through XTest
// on the display where the service grabs.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kde/kglobalaccel_service.hpp"
#include "platform/defaults/user_defaults.hpp"
#include "platform/hotkeys/fake_hot_key_backend.hpp"
#include "platform/hotkeys/kglobalaccel_hot_key_backend.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/print.hpp"
#include "shortcuts/global_shortcuts.hpp"
#include "support/backend_environment.hpp"
#include "x11/x11_driver.hpp"

namespace kde_test {

inline const GlobalShortcuts::Shortcut controlP{GlobalShortcuts::Key::p, {GlobalShortcuts::Modifier::control}};
inline const GlobalShortcuts::Shortcut controlM{GlobalShortcuts::Key::m, {GlobalShortcuts::Modifier::control}};
inline const GlobalShortcuts::Shortcut controlJ{GlobalShortcuts::Key::j, {GlobalShortcuts::Modifier::control}};
inline const GlobalShortcuts::Shortcut controlAltK{GlobalShortcuts::Key::k,
                                                   {GlobalShortcuts::Modifier::control, GlobalShortcuts::Modifier::option}};

class KdeLayerTest : public ::testing::Test {
protected:
    KdeLayerTest()
        : defaults(folder.path() / "defaults.json"),
          printed_([this](std::string_view line) { lines.emplace_back(line); }),
          changes_(notifications.addObserver(GlobalShortcuts::shortcutByNameDidChangeNotification,
                                             [this](const platform::Notification& notification) {
                                                 if (auto* name = notification.get<GlobalShortcuts::Name>("name")) {
                                                     changed.push_back(name->rawValue);
                                                 }
                                             })) {}

    void SetUp() override {
        if (auto why = KGlobalAccelService::unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (auto why = keyboard.unavailable(); !why.empty()) GTEST_SKIP() << why;
    }

    ~KdeLayerTest() override {
        layer.reset();
        backend.reset();
        pool.join();
    }

    // The layer with "startSession" (control-P) and "endSession" (control-M), counting presses.
    void startLayer() {
        platform::KGlobalAccelHotKeyBackend::Options options;
        options.busAddress = service.busAddress();
        options.callTimeout = std::chrono::seconds(5);
        options.descriptions = {{"startSession", "Start Call"}, {"endSession", "End Call"}};
        backend = platform::KGlobalAccelHotKeyBackend::create(io.get_executor(), pool.get_executor(), options, layout,
                                                              nullptr, [this] {
                                                                  ++fallbacksMade;
                                                                  return fallback;
                                                              });
        layer = GlobalShortcuts::ShortcutLayer::create(defaults, notifications, io.get_executor(), backend, layout);
        startSession = layer->name("startSession", controlP);
        endSession = layer->name("endSession", controlM);
        layer->onKeyDown(*startSession, [this] { ++starts; });
        layer->onKeyUp(*startSession, [this] { ++startReleases; });
        layer->onKeyDown(*endSession, [this] { ++ends; });
    }

    // Both actions present in the service with the keys given.
    bool registered(std::int32_t start = Keys::controlP, std::int32_t end = Keys::controlM) {
        return runUntil([&] {
            return service.keys(startSessionId) == std::vector<std::int32_t>{start} &&
                   service.keys(endSessionId) == std::vector<std::int32_t>{end} && service.isActive("kestro");
        });
    }

    // Presses and releases the keys (X keysyms) until `count` reaches `expected`; the service
    // grabs only once its answer is out, so a first press may come too early.
    bool pressUntil(const std::vector<std::uint32_t>& keysyms, const int& count, int expected) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            keyboard.chord(keysyms);
            if (runUntil([&] { return count >= expected; }, std::chrono::milliseconds(500))) return count == expected;
        }
        return false;
    }

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

    std::string printedLines() const {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    }

    support::TemporaryFolder folder;
    KGlobalAccelService service{folder.path()};
    x11_test::Driver keyboard;
    boost::asio::io_context io;
    boost::asio::thread_pool pool{1};
    platform::UserDefaults defaults;
    platform::NotificationCenter notifications;
    std::shared_ptr<platform::KeyboardLayout> layout = platform::XkbKeyboardLayout::fromNames("us");
    std::shared_ptr<platform::FakeHotKeyBackend> fallback = std::make_shared<platform::FakeHotKeyBackend>();
    int fallbacksMade = 0;
    std::shared_ptr<platform::KGlobalAccelHotKeyBackend> backend;
    std::shared_ptr<GlobalShortcuts::ShortcutLayer> layer;
    std::optional<GlobalShortcuts::Name> startSession;
    std::optional<GlobalShortcuts::Name> endSession;
    int starts = 0;
    int startReleases = 0;
    int ends = 0;
    std::vector<std::string> lines;
    std::vector<std::string> changed;

private:
    platform::ScopedPrintSink printed_;
    platform::ObserverToken changes_;
};

}  // namespace kde_test
