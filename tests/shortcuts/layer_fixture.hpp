#pragma once
// A fresh shortcut layer over a temporary store, its own notification centre, a test-driven main
// executor and the fake hot-key backend.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/defaults/user_defaults.hpp"
#include "platform/hotkeys/fake_hot_key_backend.hpp"
#include "platform/hotkeys/keyboard_layout.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/print.hpp"
#include "shortcuts/global_shortcuts.hpp"
#include "support/backend_environment.hpp"

namespace shortcuts_test {

// Lower-case letters of a US keyboard for a few keys.
class LettersLayout : public platform::KeyboardLayout {
public:
    std::optional<std::string> character(std::int64_t keyCode) const override {
        static const std::map<std::int64_t, std::string> letters{{0, "a"},  {35, "p"}, {46, "m"},
                                                                 {12, "q"}, {18, "1"}, {27, "-"}};
        auto found = letters.find(keyCode);
        if (found == letters.end()) return std::nullopt;
        return found->second;
    }
};

inline const GlobalShortcuts::Shortcut controlP{GlobalShortcuts::Key::p,
                                                {GlobalShortcuts::Modifier::control}};
inline const GlobalShortcuts::Shortcut controlM{GlobalShortcuts::Key::m,
                                                {GlobalShortcuts::Modifier::control}};
inline const GlobalShortcuts::Shortcut commandQ{GlobalShortcuts::Key::q,
                                                {GlobalShortcuts::Modifier::command}};

class LayerTest : public ::testing::Test {
protected:
    LayerTest()
        : defaults(folder_.path() / "defaults.json"),
          backend(std::make_shared<platform::FakeHotKeyBackend>()),
          layer(GlobalShortcuts::ShortcutLayer::create(defaults, notifications, io.get_executor(), backend,
                                                       std::make_shared<LettersLayout>())),
          printed_([this](std::string_view line) { lines.emplace_back(line); }),
          changes_(notifications.addObserver(GlobalShortcuts::shortcutByNameDidChangeNotification,
                                             [this](const platform::Notification& notification) {
                                                 if (auto* name =
                                                         notification.get<GlobalShortcuts::Name>("name")) {
                                                     changed.push_back(name->rawValue);
                                                 }
                                             })) {}

    // Runs what was posted to the main executor.
    void settle() {
        io.restart();
        io.poll();
    }

    bool press(const GlobalShortcuts::Shortcut& shortcut) {
        bool sent = backend->press(static_cast<std::uint32_t>(shortcut.carbonKeyCode),
                                   static_cast<std::uint32_t>(shortcut.carbonModifiers));
        settle();
        return sent;
    }
    bool release(const GlobalShortcuts::Shortcut& shortcut) {
        bool sent = backend->release(static_cast<std::uint32_t>(shortcut.carbonKeyCode),
                                     static_cast<std::uint32_t>(shortcut.carbonModifiers));
        settle();
        return sent;
    }
    bool held(const GlobalShortcuts::Shortcut& shortcut) const {
        return backend
            ->heldId(static_cast<std::uint32_t>(shortcut.carbonKeyCode),
                     static_cast<std::uint32_t>(shortcut.carbonModifiers))
            .has_value();
    }

private:
    support::TemporaryFolder folder_;

protected:
    boost::asio::io_context io;
    platform::UserDefaults defaults;
    platform::NotificationCenter notifications;
    std::shared_ptr<platform::FakeHotKeyBackend> backend;
    std::shared_ptr<GlobalShortcuts::ShortcutLayer> layer;
    std::vector<std::string> lines;
    std::vector<std::string> changed;

private:
    platform::ScopedPrintSink printed_;
    platform::ObserverToken changes_;
};

}  // namespace shortcuts_test
