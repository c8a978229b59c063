#include "app/view/menu_key_forwarder.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>

namespace kestro::view {

MenuKeyForwarder::MenuKeyForwarder(QMenu* menu, TrackingHandler tracking, KeyHandler keyEvent)
    : QObject(menu), menu_(menu), menuObject_(menu), trackingHandler_(std::move(tracking)), keyHandler_(std::move(keyEvent)) {
    // Key presses go to whichever of the menu's popups is active: watch them all. The menu counts
    // as open while its own window is shown (see eventFilter), not from aboutToShow: that also
    // comes when a StatusNotifier host opens the exported copy it draws itself, which takes no
    // keys from the grabs and may never be reported closed.
    qApp->installEventFilter(this);
}

MenuKeyForwarder::~MenuKeyForwarder() {
    if (qApp) qApp->removeEventFilter(this);
}

void MenuKeyForwarder::setTracking(bool tracking) {
    if (tracking_ == tracking) return;
    tracking_ = tracking;
    if (trackingHandler_) trackingHandler_(tracking);
}

bool MenuKeyForwarder::eventFilter(QObject* watched, QEvent* event) {
    if (watched == menuObject_ && (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        setTracking(event->type() == QEvent::Show);
        return false;
    }
    if (!tracking_ || !keyHandler_) return false;
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    // A held key's repeats end in releases too; only the last one lets the key go.
    if (event->type() == QEvent::KeyRelease && static_cast<QKeyEvent*>(event)->isAutoRepeat()) return false;
    auto* target = qobject_cast<QMenu*>(watched);
    if (!target) return false;
    // Only our menu and the submenus below it.
    for (QObject* walk = target; walk; walk = walk->parent()) {
        if (walk == menuObject_) return keyHandler_(*static_cast<QKeyEvent*>(event));
    }
    return false;
}

}  // namespace kestro::view
