#include "app/view/tray_presenter.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QWidgetAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <functional>
#include <map>

#include "app/view/symbol_icons.hpp"
#include "app/view/themed_icons.hpp"
#include "menu_rig.hpp"
#include "platform/ui/qt_main_executor.hpp"
#include "qt_test_application.hpp"

namespace {

using kestro::MenuBarState;
using kestro::MenuEntry;
using kestro::MenuEntryKind;
using kestro::MenuInputs;
using kestro::test::processEventsUntil;
using kestro::view::TrayPresenter;

// The menu shows the entries in their order; entries that went are hidden, not taken out (they
// keep their exported ids), and so is a row without a title.
void expectMatches(QMenu* menu, const std::vector<MenuEntry>& entries) {
    QList<QAction*> actions;
    for (auto* action : menu->actions()) {
        if (action->isVisible()) actions.push_back(action);
    }
    std::vector<const MenuEntry*> shown;
    for (const auto& entry : entries) {
        if (entry.kind == MenuEntryKind::divider || !entry.title.empty()) shown.push_back(&entry);
    }
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(shown.size()));
    for (const auto& entry : entries) {
        if (entry.kind == MenuEntryKind::divider || !entry.title.empty()) continue;
        auto* hidden = menu->findChild<QAction*>(QString::fromStdString(entry.id));
        if (hidden) {
            EXPECT_FALSE(hidden->isVisible()) << entry.id;
        }
    }
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto& entry = *shown[i];
        QAction* action = actions[static_cast<qsizetype>(i)];
        SCOPED_TRACE(entry.id);
        EXPECT_EQ(action->objectName().toStdString(), entry.id);
        EXPECT_EQ(action->isSeparator(), entry.kind == MenuEntryKind::divider);
        if (entry.kind == MenuEntryKind::divider) continue;
        // The label is the title alone (the error line's after its warning mark); the shortcut is
        // the action's own, which a tray host drawing the exported menu shows in its column (Qt's
        // own shortcuts do not fire in an open tray menu), and the menu Qt draws shows the shortcut
        // layer's text there.
        EXPECT_EQ(action->text().toStdString(), (entry.id == "error" ? "⚠ " : "") + entry.title);
        EXPECT_EQ(action->isEnabled(), entry.enabled);
        EXPECT_FALSE(action->icon().isNull());
        EXPECT_EQ(action->shortcut(), QKeySequence::fromString(QString::fromStdString(entry.shortcutKeys)));
        EXPECT_EQ(kestro::view::shortcutColumn(*action).toStdString(), entry.shortcutText);
        EXPECT_EQ(action->menu() != nullptr, entry.kind == MenuEntryKind::submenu);
        if (action->menu()) expectMatches(action->menu(), entry.children);
    }
}

// The first row the menu shows.
QAction* firstShown(QMenu* menu) {
    for (auto* action : menu->actions()) {
        if (action->isVisible()) return action;
    }
    return nullptr;
}

struct FakeView {
    MenuInputs inputs;
    std::vector<std::string> triggered;
    int appearances = 0;

    TrayPresenter::Callbacks callbacks() {
        return {[this] { return kestro::buildMenu(inputs); },
                [this](const std::string& id) { triggered.push_back(id); }, [this] { ++appearances; }};
    }
};

class TrayPresenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestro::test::qtApplication();
        view.inputs.usedCalls = 3;
        view.inputs.totalCalls = 10;
        view.inputs.streakText = "1 Week Streak";
        view.inputs.startShortcutText = "⌥⇧K";
        view.inputs.endShortcutText = "⌃M";
        view.inputs.startShortcutKeys = "Alt+Shift+K";
        view.inputs.endShortcutKeys = "Ctrl+M";
    }
    FakeView view;
};

// The menu stays open while the model changes under it: every entry keeps its action.
TEST_F(TrayPresenterTest, TheActionTreeFollowsTheModelInPlaceThroughEveryStateWhileOpen) {
    TrayPresenter presenter(view.callbacks());
    EXPECT_EQ(presenter.trayIcon(), nullptr) << "made only once there is a tray to show it";
    presenter.show();
    ASSERT_NE(presenter.trayIcon(), nullptr);
    EXPECT_EQ(presenter.trayIcon()->toolTip(), "Kestro");
    EXPECT_FALSE(presenter.trayIcon()->icon().isNull());
    expectMatches(presenter.menu(), kestro::buildMenu(view.inputs));
    presenter.menu()->popup(QPoint(10, 10));
    ASSERT_TRUE(processEventsUntil([&] { return presenter.menu()->isVisible(); }));
    EXPECT_EQ(view.appearances, 1);

    // Each step changes the inputs of the one before.
    std::vector<std::function<void(MenuInputs&)>> steps{
        [](MenuInputs& in) { in.state = MenuBarState::callsAvailable; },
        [](MenuInputs& in) { in.isStartingSession = true; },
        [](MenuInputs& in) {
            in.isStartingSession = false;
            in.isConversationActive = true;
        },
        [](MenuInputs& in) {
            in.isConversationActive = false;
            in.isSendingTranscript = true;
            in.errorMessage = "No Microphone";
        },
        [](MenuInputs& in) {
            in.isSendingTranscript = false;
            in.state = MenuBarState::callsUsedUp;
            in.canCheckForUpdates = true;
        },
        [](MenuInputs& in) {
            in.errorMessage.reset();
            in.state = MenuBarState::connecting;
            in.isCredentialMissing = true;
        },
        [](MenuInputs& in) { in.isConversationActive = true; },
    };
    std::map<QString, QAction*> actions;
    for (const auto& step : steps) {
        step(view.inputs);
        presenter.refresh();
        expectMatches(presenter.menu(), kestro::buildMenu(view.inputs));
        EXPECT_TRUE(presenter.menu()->isVisible());
        for (auto* action : presenter.menu()->actions()) {
            EXPECT_EQ(actions.emplace(action->objectName(), action).first->second, action) << "rebuilt";
        }
    }
    presenter.menu()->hide();
    presenter.menu()->popup(QPoint(10, 10));
    ASSERT_TRUE(processEventsUntil([&] { return presenter.menu()->isVisible(); }));
    EXPECT_EQ(view.appearances, 2) << "the appearance steps run at each showing";
    presenter.menu()->hide();
}

TEST_F(TrayPresenterTest, ChoosingAnEntryPassesItsIdOnAndTitlesKeepTheirAmpersands) {
    view.inputs.state = MenuBarState::callsAvailable;
    view.inputs.errorMessage = "Q&A";
    TrayPresenter presenter(view.callbacks());
    EXPECT_EQ(presenter.action("error")->text(), "⚠ Q&&A");
    EXPECT_EQ(presenter.action("error")->iconText(), "⚠ Q&A");

    presenter.action("more.checkForUpdates")->setEnabled(true);
    for (const char* id : {"startCall", "more.checkForUpdates", "more.support", "quit", "callsUsed"}) {
        presenter.action(id)->trigger();
    }
    EXPECT_EQ(view.triggered,
              (std::vector<std::string>{"startCall", "more.checkForUpdates", "more.support", "quit"}));
}

// Qt's action shortcuts do not fire in an open tray menu; the presenter answers to the entries'
// key equivalents itself, like a click. Other keys are left to the menu.
TEST_F(TrayPresenterTest, TheOpenMenuChoosesQuitOnControlQAndLeavesOtherKeysAlone) {
    view.inputs.state = MenuBarState::callsAvailable;
    TrayPresenter presenter(view.callbacks());
    auto* menu = presenter.menu();
    EXPECT_EQ(kestro::view::shortcutColumn(*presenter.action("quit")), "⌃Q");
    EXPECT_EQ(kestro::view::shortcutColumn(*presenter.action("startCall")), "⌥⇧K");
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(processEventsUntil([&] { return menu->isVisible(); }));
    for (auto [key, modifiers] : {std::pair{Qt::Key_Q, Qt::NoModifier}, std::pair{Qt::Key_Q, Qt::AltModifier},
                                  std::pair{Qt::Key_P, Qt::ControlModifier}, std::pair{Qt::Key_M, Qt::ControlModifier}}) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(menu, &press);
    }
    EXPECT_TRUE(view.triggered.empty());
    EXPECT_TRUE(menu->isVisible());
    QKeyEvent quit(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier);
    QApplication::sendEvent(menu, &quit);
    EXPECT_EQ(view.triggered, (std::vector<std::string>{"quit"}));
    EXPECT_FALSE(menu->isVisible());
}

// Opening refreshes the state, so the menu grows under the pointer (an error line, the counts):
// it must not run past the screen's edge.
TEST_F(TrayPresenterTest, AMenuThatGrowsWhileOpenAtTheScreensCornerStaysOnTheScreen) {
    TrayPresenter presenter(view.callbacks());
    auto* menu = presenter.menu();
    const QRect screen = menu->screen()->availableGeometry();
    menu->popup(screen.bottomRight());
    ASSERT_TRUE(processEventsUntil([&] { return menu->isVisible(); }));
    const QRect before = menu->geometry();
    EXPECT_TRUE(screen.contains(before)) << "Qt places the first popup itself";

    view.inputs.state = MenuBarState::callsAvailable;
    view.inputs.errorMessage = "Session already in progress, and a much longer text than any entry before";
    presenter.refresh();
    const QRect after = menu->geometry();
    EXPECT_GT(after.width(), before.width());
    EXPECT_GT(after.height(), before.height());
    EXPECT_TRUE(screen.contains(after)) << "menu at " << after.x() << "," << after.y() << " size " << after.width()
                                        << "x" << after.height() << " on a screen of " << screen.width() << "x"
                                        << screen.height();
    menu->hide();
}

// What a StatusNotifier host draws from the export: each entry's shortcut as its shortcut, not
// in its label; the error line with a warning mark, its colour being lost there; no empty row
// (the streak has no text before the menu was first opened).
TEST_F(TrayPresenterTest, TheExportedEntriesCarryTheirShortcutsTheErrorLineAMarkAndNoEmptyRow) {
    view.inputs.state = MenuBarState::callsAvailable;
    view.inputs.streakText.clear();
    view.inputs.errorMessage = "No Headphones";
    TrayPresenter presenter(view.callbacks());
    auto* start = presenter.action("startCall");
    EXPECT_EQ(start->text(), "Start Call");
    EXPECT_EQ(start->shortcut(), QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_K));
    EXPECT_EQ(presenter.action("quit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_EQ(presenter.action("error")->text(), "⚠ No Headphones");
    EXPECT_FALSE(presenter.action("weekStreak")->isVisible());

    view.inputs.streakText = "1 Week Streak";
    view.inputs.isConversationActive = true;
    view.inputs.startShortcutKeys.clear();
    view.inputs.startShortcutText.clear();
    presenter.refresh();
    EXPECT_TRUE(presenter.action("weekStreak")->isVisible());
    EXPECT_EQ(presenter.action("endCall")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));
    view.inputs.isConversationActive = false;
    presenter.refresh();
    EXPECT_TRUE(presenter.action("startCall")->shortcut().isEmpty()) << "the stored shortcut was removed";
    EXPECT_TRUE(kestro::view::shortcutColumn(*presenter.action("startCall")).isEmpty());
}

// The error line is what the user must read: drawn in red and not greyed out like a disabled entry.
TEST_F(TrayPresenterTest, TheErrorLineIsDrawnInItsColourNotGreyedOut) {
    view.inputs.state = MenuBarState::callsAvailable;
    view.inputs.errorMessage = "No Headphones";
    TrayPresenter presenter(view.callbacks());
    presenter.menu()->popup(QPoint(10, 10));
    ASSERT_TRUE(processEventsUntil([&] { return presenter.menu()->isVisible(); }));
    auto* line = qobject_cast<QWidgetAction*>(presenter.action("error"));
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->isEnabled());
    auto* text = presenter.menu()->findChild<QLabel*>("text");
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isEnabled());
    EXPECT_EQ(text->text(), "No Headphones");
    EXPECT_EQ(text->palette().color(QPalette::WindowText), kestro::view::menuColour(kestro::MenuColour::red));

    // It goes with the error (hidden, keeping its place) and comes back with the next one, showing
    // the new text.
    view.inputs.errorMessage.reset();
    presenter.refresh();
    EXPECT_FALSE(line->isVisible());
    view.inputs.errorMessage = "No Internet";
    presenter.refresh();
    ASSERT_TRUE(presenter.menu()->actions().contains(line));
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(firstShown(presenter.menu()), line);
    processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    auto texts = presenter.menu()->findChildren<QLabel*>("text");
    ASSERT_EQ(texts.size(), 1);
    EXPECT_EQ(texts.front()->text(), "No Internet");
    presenter.menu()->hide();
}

// A row's icon is made once per symbol, colour and opacity: going through the states again hands
// each row the icon it had (and so the pictures Qt scaled from it), and a row that did not change
// is not touched.
TEST_F(TrayPresenterTest, EachRowKeepsItsIconThroughTheStates) {
    view.inputs.state = MenuBarState::callsAvailable;
    TrayPresenter presenter(view.callbacks());
    auto states = [&](int round) {
        std::vector<std::map<std::string, qint64>> icons;
        for (int step = 0; step < 4; ++step) {
            view.inputs.isConversationActive = step == 1;
            view.inputs.isStartingSession = step == 2;
            view.inputs.errorMessage = step == 3 ? std::optional<std::string>("Cannot Connect") : std::nullopt;
            presenter.refresh();
            std::map<std::string, qint64> keys;
            for (auto* action : presenter.menu()->actions()) {
                if (action->isVisible() && !action->isSeparator())
                    keys[action->objectName().toStdString()] = action->icon().cacheKey();
            }
            EXPECT_FALSE(keys.empty()) << "round " << round << ", step " << step;
            icons.push_back(keys);
        }
        return icons;
    };
    const auto first = states(1);
    EXPECT_EQ(states(2), first);
    EXPECT_NE(first[0].at("startCall"), first[2].at("startCall")) << "a green start and an hourglass";
    EXPECT_EQ(first[0].at("quit"), first[3].at("quit"));
    // The icon is the one handed out for the entry, not a copy drawn anew.
    auto menu = kestro::buildMenu(view.inputs);
    auto error = std::find_if(menu.begin(), menu.end(), [](const MenuEntry& entry) { return entry.id == "error"; });
    ASSERT_NE(error, menu.end());
    EXPECT_EQ(presenter.action("error")->icon().cacheKey(), kestro::view::menuIcon(*error).cacheKey());
}

TEST(SymbolIcons, EverySymbolTheMenuUsesIsDrawn) {
    kestro::test::qtApplication();
    for (const char* symbol :
         {"arrow.clockwise", "play.circle.fill", "hourglass", "stop.circle.fill", "chart.bar.fill",
          "flame.fill", "plus.circle.fill", "ellipsis.circle.fill", "xmark.circle.fill",
          "arrow.clockwise.circle.fill", "envelope.fill", "mic.slash.fill", "headphones", "wifi.slash",
          "key.slash.fill", "lock.slash.fill", "exclamationmark.triangle.fill"}) {
        EXPECT_TRUE(kestro::view::hasSymbol(symbol)) << symbol;
        auto image = kestro::view::symbolIcon(symbol, Qt::red).pixmap(32, 32).toImage();
        bool painted = false;
        for (int y = 0; y < image.height() && !painted; ++y) {
            for (int x = 0; x < image.width() && !painted; ++x) painted = qAlpha(image.pixel(x, y)) > 0;
        }
        EXPECT_TRUE(painted) << symbol;
    }
}

// The presenter, the menu view and the call controller together on the Qt main executor.
TEST(TrayCall, ChoosingStartAndEndCallInTheMenuDrivesTheController) {
    kestro::test::qtApplication();
    platform::QtExecutionContext context;
    kestro::test::MenuRig rig(context.get_executor());
    auto& view = *rig.view;
    kestro::view::TrayPresenter presenter({[&] { return view.menu(); },
                                           [&](const std::string& id) { view.trigger(id); },
                                           [&] { view.appear(); }});
    view.setChangeHandler([&] { presenter.refresh(); });

    presenter.menu()->popup(QPoint(10, 10));
    ASSERT_TRUE(processEventsUntil(
        [&] { return rig.stateManager->currentState.get() == MenuBarState::callsAvailable; }));
    EXPECT_EQ(firstShown(presenter.menu())->text(), "Start Call");
    EXPECT_EQ(kestro::view::shortcutColumn(*firstShown(presenter.menu())), "⌃P");
    EXPECT_EQ(presenter.action("callsUsed")->text(), "Calls Used: 3/10");
    EXPECT_EQ(rig.environment.backend.requestsTo("/usage").size(), 1u) << "showing the menu refreshes once";

    presenter.action("startCall")->trigger();
    ASSERT_TRUE(processEventsUntil([&] { return rig.sessionManager->isConversationActive.get(); }));
    QAction* end = firstShown(presenter.menu());
    EXPECT_EQ(end, presenter.action("endCall"));
    EXPECT_TRUE(end->isEnabled());
    EXPECT_TRUE(presenter.menu()->isVisible());
    EXPECT_EQ(rig.usageHandedToFetch, view.usageManager()) << "the fetch updates the counts the menu shows";

    end->trigger();
    EXPECT_FALSE(rig.sessionManager->isConversationActive.get());
    EXPECT_TRUE(processEventsUntil([&] { return !rig.sessionManager->isSendingTranscript.get(); }));
    EXPECT_EQ(firstShown(presenter.menu())->text(), "Start Call");
    EXPECT_EQ(kestro::view::shortcutColumn(*firstShown(presenter.menu())), "⌃P");
    presenter.menu()->hide();
}

}  // namespace
