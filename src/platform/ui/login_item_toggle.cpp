#include "platform/ui/login_item_toggle.hpp"

#include <QPointer>
#include <QTimer>

namespace platform {

LoginItemToggle::LoginItemToggle(LoginItem::Observable& loginItem, QWidget* parent)
    : LoginItemToggle(loginItem, QStringLiteral("Launch at login"), parent) {}

LoginItemToggle::LoginItemToggle(LoginItem::Observable& loginItem, const QString& title, QWidget* parent)
    : QCheckBox(title, parent), loginItem_(loginItem) {
    reread();
    connect(this, &QCheckBox::clicked, this, [this](bool checked) { loginItem_.setEnabled(checked); });
    // The notification comes before the change: read the registration once the write is done.
    subscription_ = loginItem_.onWillChange([self = QPointer<LoginItemToggle>(this)] {
        QTimer::singleShot(0, self, [self] {
            if (self) self->reread();
        });
    });
}

void LoginItemToggle::reread() {
    QSignalBlocker blocker(this);
    setChecked(loginItem_.isEnabled());
}

}  // namespace platform
