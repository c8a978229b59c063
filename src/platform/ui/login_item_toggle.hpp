#pragma once
// An on/off switch for launch at login: it shows the current registration and changes it when
// flipped.

#include <QCheckBox>
#include <QString>

#include "platform/desktop/login_item.hpp"

namespace platform {

class LoginItemToggle : public QCheckBox {
public:
    explicit LoginItemToggle(LoginItem::Observable& loginItem, QWidget* parent = nullptr);
    LoginItemToggle(LoginItem::Observable& loginItem, const QString& title, QWidget* parent = nullptr);

private:
    void reread();

    LoginItem::Observable& loginItem_;
    Subscription subscription_;
};

}  // namespace platform
