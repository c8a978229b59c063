#pragma once
// Under Wayland the app cannot open a menu of its own at the tray icon: a client knows neither
// where the pointer is nor, without a window of its own to hang it from, may it open a popup (a
// menu without one becomes a window the compositor places, tiled over the screen or centred).
// The tray host can: this exports the StatusNotifierItem that Qt made for the icon as menu-only
// (ItemIsMenu true), so that the host opens its own menu, at the icon, on a left click as well.
//
// Qt's item always says false, and Qt has no setting for it. The item's object on Qt's bus
// connection is taken over by one of ours that answers as Qt's does, reading Qt's item for every
// property but that one, handing the item's methods on to it and passing its signals on. It all
// runs on the Qt main thread: a call the bus thread receives is answered from there.

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QObject>
#include <QPointer>
#include <QVariantList>

namespace kestro::view {

class MenuOnlyItem : public QDBusVirtualObject {
    Q_OBJECT
public:
    // Takes over the item Qt exports for this process's tray icon, where there is one (there is
    // none with an XEmbed tray). Call it after each QSystemTrayIcon::show(), which makes the
    // item anew; returns whether an item now answers as menu-only.
    static bool takeOver(QObject* owner);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private slots:
    void relay(QObject* object, const QMetaObject* metaObject, int signal, const QVariantList& arguments);

private:
    MenuOnlyItem(QDBusConnection connection, QObject* adaptor, QObject* owner);
    void answer(const QDBusMessage& message);
    QVariant property(const QString& name) const;

    QDBusConnection connection_;
    QPointer<QObject> adaptor_;
};

}  // namespace kestro::view
