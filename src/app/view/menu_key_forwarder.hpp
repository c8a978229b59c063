#pragma once
// While the tray menu Qt draws is open it holds the keyboard, so the global shortcuts' grabs
// cannot fire. This says when that menu's window is shown and hidden and hands the key presses and
// releases the menu (or one of its submenus) receives to a handler, which may consume them. The
// copy of the menu a StatusNotifier host draws in its own process holds nothing of ours and does
// not count as open.

#include <QObject>
#include <QPointer>
#include <functional>

class QKeyEvent;
class QMenu;

namespace kestro::view {

class MenuKeyForwarder : public QObject {
public:
    using TrackingHandler = std::function<void(bool tracking)>;
    // Gets presses and releases (event.type()); true when the event was used (the menu then does
    // not see it).
    using KeyHandler = std::function<bool(const QKeyEvent& event)>;

    MenuKeyForwarder(QMenu* menu, TrackingHandler tracking, KeyHandler keyEvent);
    ~MenuKeyForwarder() override;

    bool isTracking() const { return tracking_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setTracking(bool tracking);

    QPointer<QMenu> menu_;
    // The menu by identity only, compared with the objects events go to: one being destroyed (a
    // Hide comes from QWidget's destructor) is no QMenu any more.
    const QObject* menuObject_;
    TrackingHandler trackingHandler_;
    KeyHandler keyHandler_;
    bool tracking_ = false;
};

}  // namespace kestro::view
