// Pictures of the open menu. The menu after a sequence of states is drawn as one made in its last
// state, on any platform. Pictures in each state for the README are made only when
// KESTRO_SCREENSHOT_DIR names a folder, on a real X display (QT_QPA_PLATFORM=xcb), e.g. under Xvfb:
//   KESTRO_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=xcb
//       build/default/tests/tray/test_tray --gtest_filter='MenuScreenshots.*'

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "app/view/tray_presenter.hpp"
#include "qt_test_application.hpp"

namespace {

using kestro::MenuBarState;
using kestro::MenuInputs;

TEST(MenuScreenshots, OpenMenuInEachState) {
    const char* folder = std::getenv("KESTRO_SCREENSHOT_DIR");
    if (!folder || !*folder) GTEST_SKIP() << "KESTRO_SCREENSHOT_DIR is not set";
    kestro::test::qtApplication();
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X display (QT_QPA_PLATFORM=xcb)";
    std::filesystem::create_directories(folder);

    MenuInputs base;
    base.usedCalls = 3;
    base.totalCalls = 10;
    base.streakText = "4 Week Streak";
    base.canCheckForUpdates = true;
    base.startShortcutText = "⌃P";
    base.endShortcutText = "⌃M";

    std::vector<std::pair<std::string, MenuInputs>> states;
    auto in = base;
    states.emplace_back("connecting", in);
    in.state = MenuBarState::callsAvailable;
    states.emplace_back("calls-available", in);
    in.isConversationActive = true;
    states.emplace_back("call-active", in);
    in = base;
    in.state = MenuBarState::callsUsedUp;
    in.usedCalls = 10;
    states.emplace_back("used-up", in);
    in = base;
    in.state = MenuBarState::callsAvailable;
    in.errorMessage = "No Headphones";
    states.emplace_back("error-line", in);
    in = base;
    in.isCredentialRejected = true;
    states.emplace_back("credential-rejected", in);

    for (const auto& [name, inputs] : states) {
        MenuInputs current = inputs;
        kestro::view::TrayPresenter presenter({[&] { return kestro::buildMenu(current); }, [](const std::string&) {}, {}});
        auto* menu = presenter.menu();
        menu->popup(QPoint(40, 40));
        ASSERT_TRUE(kestro::test::processEventsUntil([&] { return menu->isVisible(); }));
        // Let the window manager-less server map and paint the popup.
        kestro::test::processEventsUntil([] { return false; }, std::chrono::milliseconds(300));
        auto area = menu->geometry().adjusted(-2, -2, 2, 2);
        auto shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        auto path = std::filesystem::path(folder) / ("menu-" + name + ".png");
        EXPECT_TRUE(shot.save(QString::fromStdString(path.string()))) << path;
        menu->hide();
    }
}

// The open menu's picture, drawn by the widgets themselves (so also on the offscreen platform).
QImage openMenuPicture(kestro::view::TrayPresenter& presenter) {
    auto* menu = presenter.menu();
    menu->popup(QPoint(40, 40));
    if (!kestro::test::processEventsUntil([&] { return menu->isVisible(); })) return {};
    kestro::test::processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    auto picture = menu->grab().toImage();
    menu->hide();
    kestro::test::processEventsUntil([&] { return !menu->isVisible(); });
    return picture;
}

// Entries that go are hidden in place, and the error line is a widget of its own: after a failed
// call and good ones, the menu shows no trace of the error line, and the line comes back whole.
TEST(MenuScreenshots, AfterAnErrorCameAndWentTheMenuLooksAsIfMadeInItsState) {
    kestro::test::qtApplication();
    MenuInputs inputs;
    inputs.state = MenuBarState::callsAvailable;
    inputs.usedCalls = 3;
    inputs.totalCalls = 10;
    inputs.streakText = "4 Week Streak";
    inputs.startShortcutText = "⌃P";
    inputs.endShortcutText = "⌃M";
    auto freshPicture = [](const MenuInputs& state) {
        MenuInputs fixed = state;
        kestro::view::TrayPresenter fresh({[&] { return kestro::buildMenu(fixed); }, [](const std::string&) {}, {}});
        return openMenuPicture(fresh);
    };

    kestro::view::TrayPresenter presenter({[&] { return kestro::buildMenu(inputs); }, [](const std::string&) {}, {}});
    inputs.isConversationActive = true;
    presenter.refresh();
    inputs.isConversationActive = false;
    inputs.errorMessage = "Cannot Connect";
    presenter.refresh();
    const auto withError = openMenuPicture(presenter);
    ASSERT_FALSE(withError.isNull());
    EXPECT_EQ(withError, freshPicture(inputs)) << "the error line as a menu made with it";

    // The next calls succeed: the error goes with the first of them.
    for (int call = 0; call < 3; ++call) {
        inputs.errorMessage.reset();
        inputs.isConversationActive = true;
        presenter.refresh();
        inputs.isConversationActive = false;
        presenter.refresh();
        SCOPED_TRACE("after good call " + std::to_string(call + 1));
        const auto after = openMenuPicture(presenter);
        EXPECT_EQ(after, freshPicture(inputs));
        EXPECT_NE(after.size(), withError.size());
    }
    inputs.errorMessage = "No Headphones";
    presenter.refresh();
    EXPECT_EQ(openMenuPicture(presenter), freshPicture(inputs)) << "the line back with another text";
}

// The menu opened at the screen's right edge while connecting, grown under the pointer by the
// refresh (the counts and an error line arrive): it stays on the screen.
TEST(MenuScreenshots, MenuThatGrowsAtTheRightEdge) {
    const char* folder = std::getenv("KESTRO_SCREENSHOT_DIR");
    if (!folder || !*folder) GTEST_SKIP() << "KESTRO_SCREENSHOT_DIR is not set";
    kestro::test::qtApplication();
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X display (QT_QPA_PLATFORM=xcb)";
    std::filesystem::create_directories(folder);

    MenuInputs inputs;
    inputs.usedCalls = 3;
    inputs.totalCalls = 10;
    inputs.streakText = "4 Week Streak";
    inputs.startShortcutText = "⌃P";
    kestro::view::TrayPresenter presenter({[&] { return kestro::buildMenu(inputs); }, [](const std::string&) {}, {}});
    auto* menu = presenter.menu();
    auto* screen = QGuiApplication::primaryScreen();
    const QRect area = screen->availableGeometry();
    menu->popup(QPoint(area.right() - 4, area.top() + 30));
    ASSERT_TRUE(kestro::test::processEventsUntil([&] { return menu->isVisible(); }));
    kestro::test::processEventsUntil([] { return false; }, std::chrono::milliseconds(300));
    inputs.state = MenuBarState::callsAvailable;
    inputs.errorMessage = "Session already in progress";
    presenter.refresh();
    kestro::test::processEventsUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(area.contains(menu->geometry()));
    // The screen's right part, its edge included.
    const int width = std::min(area.width(), menu->width() + 120);
    QRect shot(area.right() + 1 - width, area.top(), width, menu->geometry().bottom() + 30 - area.top());
    auto picture = screen->grabWindow(0, shot.x(), shot.y(), shot.width(), shot.height());
    auto path = std::filesystem::path(folder) / "menu-right-edge.png";
    EXPECT_TRUE(picture.save(QString::fromStdString(path.string()))) << path;
    menu->hide();
}

}  // namespace
