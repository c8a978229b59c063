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

}  // namespace
