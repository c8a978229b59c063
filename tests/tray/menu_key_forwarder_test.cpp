#include "app/view/menu_key_forwarder.hpp"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QMenu>

#include "qt_test_application.hpp"

namespace {

TEST(MenuKeyForwarder, PressesAndReleasesReachTheHandlerOnlyWhileTheMenuIsOpen) {
    kestro::test::qtApplication();
    QMenu menu;
    auto* submenu = menu.addMenu("More");
    QMenu unrelated;
    std::vector<bool> tracking;
    std::vector<int> keys;
    std::vector<QEvent::Type> types;
    bool consume = true;
    new kestro::view::MenuKeyForwarder(
        &menu, [&](bool on) { tracking.push_back(on); },
        [&](const QKeyEvent& event) {
            keys.push_back(event.key());
            types.push_back(event.type());
            return consume;
        });

    QKeyEvent early(QEvent::KeyPress, Qt::Key_P, Qt::ControlModifier);
    QApplication::sendEvent(&menu, &early);
    EXPECT_TRUE(keys.empty()) << "the menu is not open";

    menu.popup(QPoint(5, 5));
    ASSERT_TRUE(kestro::test::processEventsUntil([&] { return menu.isVisible(); }));
    QKeyEvent press(QEvent::KeyPress, Qt::Key_P, Qt::ControlModifier);
    QApplication::sendEvent(&menu, &press);
    QKeyEvent inSubmenu(QEvent::KeyPress, Qt::Key_M, Qt::ControlModifier);
    QApplication::sendEvent(submenu, &inSubmenu);
    QKeyEvent elsewhere(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier);
    QApplication::sendEvent(&unrelated, &elsewhere);
    // A held key's repeated releases are not the key going up.
    QKeyEvent repeated(QEvent::KeyRelease, Qt::Key_P, Qt::ControlModifier, QString(), /*autorep=*/true);
    QApplication::sendEvent(&menu, &repeated);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_P, Qt::ControlModifier);
    QApplication::sendEvent(&menu, &release);
    menu.hide();
    QKeyEvent late(QEvent::KeyPress, Qt::Key_P, Qt::ControlModifier);
    QApplication::sendEvent(&menu, &late);

    EXPECT_EQ(keys, (std::vector<int>{Qt::Key_P, Qt::Key_M, Qt::Key_P}));
    EXPECT_EQ(types, (std::vector<QEvent::Type>{QEvent::KeyPress, QEvent::KeyPress, QEvent::KeyRelease}));
    EXPECT_EQ(tracking, (std::vector<bool>{true, false}));
}

// A StatusNotifier host draws the exported menu in its own process: Qt says the menu is about to
// show, but its window never appears and the host may never say it closed. That menu takes no keys
// from the grabs, so it must not count as open.
TEST(MenuKeyForwarder, AMenuTheTrayHostDrawsDoesNotCountAsOpen) {
    kestro::test::qtApplication();
    QMenu menu;
    std::vector<bool> tracking;
    int keys = 0;
    kestro::view::MenuKeyForwarder forwarder(
        &menu, [&](bool on) { tracking.push_back(on); },
        [&](const QKeyEvent&) {
            ++keys;
            return true;
        });

    // What the DBusMenu export does when the host opens the menu.
    Q_EMIT menu.aboutToShow();
    kestro::test::processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(tracking.empty());
    EXPECT_FALSE(forwarder.isTracking());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_P, Qt::ControlModifier);
    QApplication::sendEvent(&menu, &press);
    EXPECT_EQ(keys, 0);

    // Qt's own window of the same menu still counts, opened after the host's.
    menu.popup(QPoint(5, 5));
    ASSERT_TRUE(kestro::test::processEventsUntil([&] { return menu.isVisible(); }));
    EXPECT_TRUE(forwarder.isTracking());
    menu.hide();
    EXPECT_EQ(tracking, (std::vector<bool>{true, false}));
}

}  // namespace
