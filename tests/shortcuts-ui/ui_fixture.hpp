#pragma once
// One QApplication for the test binary: on the X display when DISPLAY names one (the recorder
// tests press real keys there), offscreen otherwise. The layer's main executor is Qt's loop.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <map>
#include <memory>

#include "platform/defaults/user_defaults.hpp"
#include "platform/hotkeys/keyboard_layout.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/print.hpp"
#include "platform/ui/qt_main_executor.hpp"
#include "shortcuts/shortcut_layer.hpp"
#include "support/backend_environment.hpp"

namespace shortcuts_ui_test {

inline QApplication& application() {
    static int argc = 1;
    static char name[] = "test_shortcuts_ui";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    }
    // Never destroyed: Qt's own globals may already be gone at exit.
    static auto* app = new QApplication(argc, argv);
    return *app;
}

inline bool onXDisplay() { return QGuiApplication::platformName() == QStringLiteral("xcb"); }

// Runs Qt's event loop until `done()` holds or the time is up; returns done().
template <class Predicate>
bool processEventsUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limit.count()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

inline void processEventsFor(std::chrono::milliseconds duration) {
    processEventsUntil([] { return false; }, duration);
}

// Lower-case letters of a US keyboard for a few keys.
class LettersLayout : public platform::KeyboardLayout {
public:
    std::optional<std::string> character(std::int64_t keyCode) const override {
        static const std::map<std::int64_t, std::string> letters{{35, "p"}, {46, "m"}, {40, "k"}, {12, "q"}};
        auto found = letters.find(keyCode);
        if (found == letters.end()) return std::nullopt;
        return found->second;
    }
};

// A layer over a temporary store whose main executor is Qt's event loop.
class QtLayerTest : public ::testing::Test {
protected:
    void makeLayer(std::shared_ptr<platform::HotKeyBackend> backend,
                   std::shared_ptr<platform::KeyboardLayout> layout) {
        layer = GlobalShortcuts::ShortcutLayer::create(defaults, notifications, executor.get_executor(),
                                                       std::move(backend), std::move(layout));
    }
    void TearDown() override { GlobalShortcuts::ShortcutLayer::install(nullptr); }

    QApplication& app = application();  // before everything that needs Qt
    support::TemporaryFolder folder;
    platform::UserDefaults defaults{folder.path() / "defaults.json"};
    platform::NotificationCenter notifications;
    platform::QtExecutionContext executor;
    std::shared_ptr<GlobalShortcuts::ShortcutLayer> layer;
    std::vector<std::string> lines;
    platform::ScopedPrintSink sink{[this](std::string_view line) { lines.emplace_back(line); }};
};

}  // namespace shortcuts_ui_test
