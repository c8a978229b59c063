#include "app/view/menu_key_forwarder.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>

namespace kestro::view {

MenuKeyForwarder::MenuKeyForwarder(QMenu* menu, TrackingHandler tracking, KeyHandler keyEvent)
    : QObject(menu), menu_(menu), trackingHandler_(std::move(tracking)), keyHandler_(std::move(keyEvent)) {
    connect(menu, &QMenu::aboutToShow, this, [this] {
        tracking_ = true;
        if (trackingHandler_) trackingHandler_(true);
    });
    connect(menu, &QMenu::aboutToHide, this, [this] {
        tracking_ = false;
        if (trackingHandler_) trackingHandler_(false);
    });
    // Key presses go to whichever of the menu's popups is active: watch them all.
    qApp->installEventFilter(this);
}

MenuKeyForwarder::~MenuKeyForwarder() {
    if (qApp) qApp->removeEventFilter(this);
}

bool MenuKeyForwarder::eventFilter(QObject* watched, QEvent* event) {
    if (!tracking_ || !keyHandler_) return false;
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    // A held key's repeats end in releases too; only the last one lets the key go.
    if (event->type() == QEvent::KeyRelease && static_cast<QKeyEvent*>(event)->isAutoRepeat()) return false;
    auto* target = qobject_cast<QMenu*>(watched);
    if (!target) return false;
    // Only our menu and the submenus below it.
    for (QObject* walk = target; walk; walk = walk->parent()) {
        if (walk == menu_) return keyHandler_(*static_cast<QKeyEvent*>(event));
    }
    return false;
}

}  // namespace kestro::view
