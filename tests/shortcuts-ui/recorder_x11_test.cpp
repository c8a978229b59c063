// The recorder in a real window on the X display, given real key presses through XTest, with the
// real hot-key backend beside it.

#include <QApplication>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <boost/asio/thread_pool.hpp>
#include <filesystem>
#include <thread>

#include "platform/hotkeys/xcb_hot_key_backend.hpp"
#include "shortcuts/qt/recorder.hpp"
#include "ui_fixture.hpp"
#include "x11/x11_driver.hpp"

namespace {

using namespace GlobalShortcuts;
using namespace std::chrono_literals;
using shortcuts_ui_test::processEventsFor;
using shortcuts_ui_test::processEventsUntil;
namespace Keysym = x11_test::Keysym;

const Shortcut controlShiftK(Key::k, {Modifier::control, Modifier::shift});

class RecorderOnX : public shortcuts_ui_test::QtLayerTest {
protected:
    void SetUp() override {
        if (!shortcuts_ui_test::onXDisplay()) GTEST_SKIP() << "needs an X display (DISPLAY; scripts/test.sh starts Xvfb)";
        if (auto reason = driver.unavailable(); !reason.empty()) GTEST_SKIP() << reason;
        for (int attempt = 0; attempt < 20 && !(backend && backend->isConnected()); ++attempt) {
            if (attempt) std::this_thread::sleep_for(50ms);
            backend = platform::XcbHotKeyBackend::create(executor.get_executor(), pool.get_executor());
        }
        ASSERT_TRUE(backend->isConnected());
        makeLayer(backend, backend->keyboardLayout());
    }
    void TearDown() override {
        // Before the pool that watches the connection.
        layer.reset();
        backend.reset();
        QtLayerTest::TearDown();
    }

    // A window holding a recorder for `name`, in front and holding the keyboard.
    std::unique_ptr<QWidget> windowWith(const Name& name, RecorderQt*& recorder) {
        auto window = std::make_unique<QWidget>();
        auto* form = new QFormLayout(window.get());
        auto* row = new Recorder(QStringLiteral("Shortcut:"), name, {}, nullptr, layer);
        row->addTo(*form);
        recorder = row->control();
        window->show();
        window->activateWindow();
        EXPECT_TRUE(processEventsUntil([&] { return window->isActiveWindow(); }));
        return window;
    }
    bool record(QWidget& window, RecorderQt& recorder) {
        window.activateWindow();
        if (!processEventsUntil([&] { return window.isActiveWindow(); }, 10s)) return false;
        // The window coming to the front may have handed the recorder the focus, which it gives
        // up again at once (that is no request to record); focusing it then would change nothing.
        if (recorder.hasFocus()) recorder.clearFocus();
        recorder.setFocus(Qt::MouseFocusReason);
        return processEventsUntil([&] { return recorder.isRecording(); }, 10s);
    }
    void pressControlShift(std::uint32_t keysym) { driver.chord({Keysym::controlL, Keysym::shiftL, keysym}); }

    boost::asio::thread_pool pool{1};
    x11_test::Driver driver;
    std::shared_ptr<platform::XcbHotKeyBackend> backend;
};

TEST_F(RecorderOnX, RecordsRealKeysWhileTheGrabsAreLetGoAndTheRecordedHotKeyThenFires) {
    // Another name already holds Control+Shift+K: its grab would take the key from the window.
    Name other = layer->name("other", controlShiftK);
    int otherPresses = 0;
    layer->onKeyDown(other, [&] { ++otherPresses; });
    Name custom = layer->name("custom");
    int customPresses = 0;
    layer->onKeyDown(custom, [&] { ++customPresses; });
    RecorderQt* recorder = nullptr;
    auto window = windowWith(custom, recorder);
    pressControlShift(Keysym::k);
    ASSERT_TRUE(processEventsUntil([&] { return otherPresses == 1; })) << "the grab does not work";

    ASSERT_TRUE(record(*window, *recorder));
    for (const auto& entry : layer->hotKeys().entries()) EXPECT_FALSE(entry.live);
    pressControlShift(Keysym::k);
    ASSERT_TRUE(processEventsUntil([&] { return layer->getShortcut(custom).has_value(); }));
    EXPECT_EQ(layer->getShortcut(custom), controlShiftK);
    EXPECT_EQ(recorder->text(), QStringLiteral("\u2303\u21E7K"));
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(otherPresses, 1);

    // Recording over, the grab is back and now runs both names.
    pressControlShift(Keysym::k);
    ASSERT_TRUE(processEventsUntil([&] { return customPresses == 1; }));
    EXPECT_EQ(otherPresses, 2);
    EXPECT_TRUE(lines.empty());
}

TEST_F(RecorderOnX, TabMovesTheFocusOnAndEscapeEndsRecordingWithoutStoring) {
    Name custom = layer->name("custom");
    RecorderQt* recorder = nullptr;
    auto window = windowWith(custom, recorder);
    auto* next = new QLineEdit(window.get());
    window->layout()->addWidget(next);
    next->show();

    ASSERT_TRUE(record(*window, *recorder));
    driver.tap(Keysym::tab);
    ASSERT_TRUE(processEventsUntil([&] { return next->hasFocus(); }));
    EXPECT_FALSE(recorder->isRecording());

    ASSERT_TRUE(record(*window, *recorder));
    driver.tap(Keysym::escape);
    ASSERT_TRUE(processEventsUntil([&] { return !recorder->isRecording(); }));
    EXPECT_FALSE(recorder->hasFocus());
    EXPECT_FALSE(layer->isRecorderActive());
    EXPECT_EQ(layer->getShortcut(custom), std::nullopt);
}

// Qt marks keypad keys with a modifier of their own, which is no modifier to record with.
TEST_F(RecorderOnX, AKeypadKeyAloneIsRefusedAndRecordedWithControl) {
    Name custom = layer->name("custom");
    RecorderQt* recorder = nullptr;
    auto window = windowWith(custom, recorder);
    ASSERT_TRUE(record(*window, *recorder));
    driver.tap(Keysym::kpEnter);
    processEventsFor(300ms);
    EXPECT_TRUE(recorder->isRecording());
    EXPECT_EQ(layer->getShortcut(custom), std::nullopt);

    driver.chord({Keysym::controlL, Keysym::kpEnter});
    ASSERT_TRUE(processEventsUntil([&] { return layer->getShortcut(custom).has_value(); }));
    EXPECT_EQ(layer->getShortcut(custom), Shortcut(Key::keypadEnter, {Modifier::control}));
    EXPECT_FALSE(recorder->isRecording());
}

TEST_F(RecorderOnX, ACombinationAnotherClientHoldsIsReportedAsTakenAndStoredOnlyWhenUsedAnyway) {
    // The other client grabs Control+Shift+J with NumLock only, so that the press without it still
    // reaches the window; the layer's own grab (every lock state) would be refused.
    auto j = driver.keycode(Keysym::j);
    constexpr std::uint16_t heldModifiers = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_2;
    ASSERT_TRUE(driver.grabKey(j, heldModifiers));
    Name custom = layer->name("custom");
    RecorderQt* recorder = nullptr;
    auto window = windowWith(custom, recorder);

    // Answers each alert with the button named next in `answers`.
    std::vector<QString> messages;
    std::vector<QStringList> buttons;
    const QStringList answers{QStringLiteral("OK"), QStringLiteral("Use Anyway")};
    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || messages.size() >= static_cast<std::size_t>(answers.size())) return;
        QStringList titles;
        for (auto* button : box->buttons()) titles << button->text();
        QAbstractButton* chosen = box->buttons().value(titles.indexOf(answers[messages.size()]));
        messages.push_back(box->text());
        buttons.push_back(titles);
        if (chosen) chosen->click();
    });
    answering.start(20);

    ASSERT_TRUE(record(*window, *recorder));
    pressControlShift(Keysym::j);
    ASSERT_TRUE(processEventsUntil([&] { return messages.size() == 1; }));
    EXPECT_EQ(messages[0].toStdString(),
              "This keyboard shortcut cannot be used as it\u2019s already a system-wide keyboard shortcut.");
    EXPECT_EQ(buttons[0].size(), 2);
    EXPECT_TRUE(buttons[0].contains(QStringLiteral("Use Anyway")));
    processEventsFor(200ms);
    EXPECT_EQ(layer->getShortcut(custom), std::nullopt);

    if (!recorder->isRecording()) {
        ASSERT_TRUE(record(*window, *recorder));
    }
    pressControlShift(Keysym::j);
    ASSERT_TRUE(processEventsUntil([&] { return layer->getShortcut(custom).has_value(); }));
    EXPECT_EQ(layer->getShortcut(custom), Shortcut(Key::j, {Modifier::control, Modifier::shift}));
    // Stored as asked; the grab itself is refused and said so.
    ASSERT_TRUE(processEventsUntil([&] { return !lines.empty(); }));
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2303\u21E7J: 10"});
    driver.ungrabKey(j, heldModifiers);
}

// Pictures for the documentation: run with KESTRO_SCREENSHOT_DIR naming a folder, e.g.
//   KESTRO_SCREENSHOT_DIR=docs/screenshots build/default/tests/shortcuts-ui/test_shortcuts_ui
//       --gtest_filter='RecorderOnX.Screenshots*'
TEST_F(RecorderOnX, ScreenshotsOfTheRecorderIdleAndRecording) {
    const char* folder = std::getenv("KESTRO_SCREENSHOT_DIR");
    if (!folder || !*folder) GTEST_SKIP() << "KESTRO_SCREENSHOT_DIR is not set";
    std::filesystem::create_directories(folder);
    Name start = layer->name("startSession", Shortcut(Key::p, {Modifier::control}));
    Name end = layer->name("endSession", Shortcut(Key::m, {Modifier::control}));
    Name talk = layer->name("pushToTalk");
    QWidget window;
    window.setWindowTitle(QStringLiteral("Shortcuts"));
    auto* form = new QFormLayout(&window);
    (new Recorder(QStringLiteral("Start Call:"), start, {}, nullptr, layer))->addTo(*form);
    (new Recorder(QStringLiteral("End Call:"), end, {}, nullptr, layer))->addTo(*form);
    auto* talkRow = new Recorder(QStringLiteral("Push to Talk:"), talk, {}, nullptr, layer);
    talkRow->addTo(*form);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(processEventsUntil([&] { return window.isActiveWindow(); }));
    processEventsFor(300ms);
    auto save = [&](const char* file) {
        auto path = std::filesystem::path(folder) / file;
        EXPECT_TRUE(window.grab().save(QString::fromStdString(path.string()))) << path;
    };
    save("recorder-idle.png");
    ASSERT_TRUE(record(window, *talkRow->control()));
    processEventsFor(300ms);
    save("recorder-recording.png");
}

}  // namespace
