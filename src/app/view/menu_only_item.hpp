#pragma once
// Under Wayland the app cannot open a menu of its own at the tray icon: a client knows neither
// where the pointer is nor, without a window of its own to hang it from, may it open a popup (a
// menu without one becomes a window the compositor places, tiled over the screen or centred).
// The tray host can: this exports the StatusNotifierItem that Qt made for the icon as menu-only
// (ItemIsMenu true), so that the host opens its own menu, at the icon, on a left click as well.
//
// Qt's item always says false and has no setting for it. Qt serves the item's interface from an
// adaptor on the item's object; a second adaptor for the same interface takes its place there.
// This is that adaptor: it answers as Qt's does, reading Qt's adaptor for every property but
// that one, handing the methods on to it and passing its signals on. Qt keeps the object, its
// registration and its bus connection, and calls reach the adaptor on the object's thread.

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QMetaType>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <utility>

namespace kestro::view {

// A value of one of the item's types that only Qt knows (its icon images, its tool tip), held as
// Qt's adaptor gives it and sent on the bus by Qt's own marshalling. Made without a value, it
// holds an empty one of Qt's type, which is how the bus learns the type's signature.
template <int Kind>
struct QtItemValue {
    QVariant value;
    QtItemValue() : value(qtType(), nullptr) {}
    explicit QtItemValue(QVariant from) : value(std::move(from)) {
        if (value.metaType() != qtType()) value = QVariant(qtType(), nullptr);
    }
    // Qt's type for the value, known once an item has been taken over.
    static QMetaType& qtType() {
        static QMetaType type;
        return type;
    }
};
using ItemImages = QtItemValue<0>;
using ItemToolTip = QtItemValue<1>;

template <int Kind>
QDBusArgument& operator<<(QDBusArgument& argument, const QtItemValue<Kind>& item) {
    QDBusMetaType::marshall(argument, item.value.metaType(), item.value.constData());
    return argument;
}

template <int Kind>
const QDBusArgument& operator>>(const QDBusArgument& argument, QtItemValue<Kind>& item) {
    QDBusMetaType::demarshall(argument, item.value.metaType(), item.value.data());
    return argument;
}

class MenuOnlyItem : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_CLASSINFO("D-Bus Introspection",
                "<interface name=\"org.kde.StatusNotifierItem\">"
                "<property access=\"read\" type=\"s\" name=\"Category\"/>"
                "<property access=\"read\" type=\"s\" name=\"Id\"/>"
                "<property access=\"read\" type=\"s\" name=\"Title\"/>"
                "<property access=\"read\" type=\"s\" name=\"Status\"/>"
                "<property access=\"read\" type=\"s\" name=\"IconThemePath\"/>"
                "<property access=\"read\" type=\"o\" name=\"Menu\"/>"
                "<property access=\"read\" type=\"b\" name=\"ItemIsMenu\"/>"
                "<property access=\"read\" type=\"s\" name=\"IconName\"/>"
                "<property access=\"read\" type=\"a(iiay)\" name=\"IconPixmap\"/>"
                "<property access=\"read\" type=\"s\" name=\"OverlayIconName\"/>"
                "<property access=\"read\" type=\"a(iiay)\" name=\"OverlayIconPixmap\"/>"
                "<property access=\"read\" type=\"s\" name=\"AttentionIconName\"/>"
                "<property access=\"read\" type=\"a(iiay)\" name=\"AttentionIconPixmap\"/>"
                "<property access=\"read\" type=\"s\" name=\"AttentionMovieName\"/>"
                "<property access=\"read\" type=\"(sa(iiay)ss)\" name=\"ToolTip\"/>"
                "<method name=\"ProvideXdgActivationToken\"><arg name=\"token\" type=\"s\" direction=\"in\"/></method>"
                "<method name=\"ContextMenu\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
                "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
                "<method name=\"Activate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
                "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
                "<method name=\"SecondaryActivate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
                "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
                "<method name=\"Scroll\"><arg name=\"delta\" type=\"i\" direction=\"in\"/>"
                "<arg name=\"orientation\" type=\"s\" direction=\"in\"/></method>"
                "<signal name=\"NewTitle\"/><signal name=\"NewIcon\"/><signal name=\"NewAttentionIcon\"/>"
                "<signal name=\"NewOverlayIcon\"/><signal name=\"NewMenu\"/><signal name=\"NewToolTip\"/>"
                "<signal name=\"NewStatus\"><arg name=\"status\" type=\"s\"/></signal>"
                "</interface>")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(kestro::view::ItemImages IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ overlayIconName)
    Q_PROPERTY(kestro::view::ItemImages OverlayIconPixmap READ overlayIconPixmap)
    Q_PROPERTY(QString AttentionIconName READ attentionIconName)
    Q_PROPERTY(kestro::view::ItemImages AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ attentionMovieName)
    Q_PROPERTY(kestro::view::ItemToolTip ToolTip READ toolTip)

public:
    // Makes the item Qt exports for this process's tray icon menu-only, where there is one (there
    // is none with an XEmbed tray). Call it after each QSystemTrayIcon::show(); returns whether
    // the item now answers as menu-only.
    static bool takeOver();

    QString category() const { return text("Category"); }
    QString id() const { return text("Id"); }
    QString title() const { return text("Title"); }
    QString status() const { return text("Status"); }
    QString iconThemePath() const { return text("IconThemePath"); }
    QDBusObjectPath menu() const { return forwarded("Menu").value<QDBusObjectPath>(); }
    bool itemIsMenu() const { return true; }
    QString iconName() const { return text("IconName"); }
    ItemImages iconPixmap() const { return ItemImages(forwarded("IconPixmap")); }
    QString overlayIconName() const { return text("OverlayIconName"); }
    ItemImages overlayIconPixmap() const { return ItemImages(forwarded("OverlayIconPixmap")); }
    QString attentionIconName() const { return text("AttentionIconName"); }
    ItemImages attentionIconPixmap() const { return ItemImages(forwarded("AttentionIconPixmap")); }
    QString attentionMovieName() const { return text("AttentionMovieName"); }
    ItemToolTip toolTip() const { return ItemToolTip(forwarded("ToolTip")); }

public slots:
    void ProvideXdgActivationToken(const QString& token);
    void ContextMenu(int x, int y);
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void Scroll(int delta, const QString& orientation);

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewMenu();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    MenuOnlyItem(QObject* item, QObject* qtAdaptor);
    QVariant forwarded(const char* name) const;
    QString text(const char* name) const { return forwarded(name).toString(); }

    // Qt's adaptor, a sibling on the item's object.
    QPointer<QObject> qt_;
};

}  // namespace kestro::view

Q_DECLARE_METATYPE(kestro::view::ItemImages)
Q_DECLARE_METATYPE(kestro::view::ItemToolTip)
