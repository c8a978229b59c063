#include "app/view/menu_only_item.hpp"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMetaMethod>
#include <QMetaProperty>

namespace kestro::view {
namespace {

constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";

// Qt exports each tray icon's item on a bus connection of its own, named after the item.
QDBusConnection qtItemConnection() {
    for (int instance = 1; instance <= 16; ++instance) {
        QDBusConnection connection(
            QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(instance));
        if (connection.isConnected() && connection.objectRegisteredAt(QString::fromLatin1(itemPath))) return connection;
    }
    return QDBusConnection(QString());
}

// The child of Qt's item object that serves the item's interface.
QObject* itemAdaptor(QObject* item) {
    for (auto* child : item->children()) {
        const auto* meta = child->metaObject();
        int info = meta->indexOfClassInfo("D-Bus Interface");
        if (info >= 0 && QLatin1String(meta->classInfo(info).value()) == QLatin1String(itemInterface)) return child;
    }
    return nullptr;
}

// The child that passes the adaptor's signals on (Qt's relay, connected to the bus only while the
// object is registered).
QObject* signalRelay(QObject* item) {
    for (auto* child : item->children()) {
        if (child->metaObject()->indexOfSignal("relaySignal(QObject*,const QMetaObject*,int,QVariantList)") >= 0)
            return child;
    }
    return nullptr;
}

}  // namespace

bool MenuOnlyItem::takeOver(QObject* owner) {
    // One that took over an earlier export of the item is done with (and lets go of the bus
    // connection Qt closed with that export).
    for (auto* earlier : owner->findChildren<MenuOnlyItem*>(Qt::FindDirectChildrenOnly)) delete earlier;
    auto connection = qtItemConnection();
    if (!connection.isConnected()) return false;
    auto* item = connection.objectRegisteredAt(QString::fromLatin1(itemPath));
    if (!item) return false;
    auto* adaptor = itemAdaptor(item);
    auto* relay = signalRelay(item);
    if (!adaptor || !relay) return false;
    auto* ours = new MenuOnlyItem(connection, adaptor, owner);
    connection.unregisterObject(QString::fromLatin1(itemPath));
    if (!connection.registerVirtualObject(QString::fromLatin1(itemPath), ours)) {
        // Qt's own item back, as it was.
        delete ours;
        connection.registerObject(QString::fromLatin1(itemPath), item, QDBusConnection::ExportAdaptors);
        return false;
    }
    connect(relay, SIGNAL(relaySignal(QObject*, const QMetaObject*, int, QVariantList)), ours,
            SLOT(relay(QObject*, const QMetaObject*, int, QVariantList)));
    // Qt's item gone with the tray icon: ours goes with it.
    connect(item, &QObject::destroyed, ours, &QObject::deleteLater);
    return true;
}

MenuOnlyItem::MenuOnlyItem(QDBusConnection connection, QObject* adaptor, QObject* owner)
    : QDBusVirtualObject(owner), connection_(std::move(connection)), adaptor_(adaptor) {}

QString MenuOnlyItem::introspect(const QString&) const {
    if (!adaptor_) return {};
    const auto* meta = adaptor_->metaObject();
    int info = meta->indexOfClassInfo("D-Bus Introspection");
    return info < 0 ? QString() : QString::fromLatin1(meta->classInfo(info).value());
}

bool MenuOnlyItem::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    // Called on the bus connection's thread: answered on the main thread, where Qt's item lives.
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    if (message.path() != QLatin1String(itemPath)) return false;
    // Introspection and the peer interface are Qt's to answer (from introspect()).
    const auto interface = message.interface();
    if (!interface.isEmpty() && interface != QLatin1String(itemInterface) &&
        interface != QLatin1String(propertiesInterface))
        return false;
    QMetaObject::invokeMethod(this, [this, message] { answer(message); }, Qt::QueuedConnection);
    return true;
}

QVariant MenuOnlyItem::property(const QString& name) const {
    if (name == QLatin1String("ItemIsMenu")) return true;
    const auto* meta = adaptor_->metaObject();
    int index = meta->indexOfProperty(name.toLatin1().constData());
    if (index < meta->propertyOffset()) return {};
    return meta->property(index).read(adaptor_.data());
}

void MenuOnlyItem::answer(const QDBusMessage& message) {
    auto fail = [&](const char* name, const QString& text) {
        connection_.send(message.createErrorReply(QString::fromLatin1(name), text));
    };
    if (!adaptor_) return fail("org.freedesktop.DBus.Error.UnknownObject", QStringLiteral("The item is gone"));
    const auto arguments = message.arguments();
    const auto member = message.member();
    if (message.interface() == QLatin1String(propertiesInterface)) {
        const auto interface = arguments.value(0).toString();
        if (!interface.isEmpty() && interface != QLatin1String(itemInterface))
            return fail("org.freedesktop.DBus.Error.UnknownInterface", QStringLiteral("No such interface"));
        if (member == QLatin1String("Get")) {
            auto value = property(arguments.value(1).toString());
            if (!value.isValid())
                return fail("org.freedesktop.DBus.Error.UnknownProperty", QStringLiteral("No such property"));
            return void(connection_.send(message.createReply(QVariant::fromValue(QDBusVariant(value)))));
        }
        if (member == QLatin1String("GetAll")) {
            QVariantMap all;
            const auto* meta = adaptor_->metaObject();
            for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
                const auto name = QString::fromLatin1(meta->property(i).name());
                all.insert(name, property(name));
            }
            return void(connection_.send(message.createReply(all)));
        }
        return fail("org.freedesktop.DBus.Error.PropertyReadOnly", QStringLiteral("The item's properties are read-only"));
    }
    // The item's methods, with the arguments the interface gives them.
    bool called = false;
    if (member == QLatin1String("Activate") || member == QLatin1String("ContextMenu") ||
        member == QLatin1String("SecondaryActivate")) {
        called = QMetaObject::invokeMethod(adaptor_.data(), member.toLatin1().constData(),
                                           Q_ARG(int, arguments.value(0).toInt()),
                                           Q_ARG(int, arguments.value(1).toInt()));
    } else if (member == QLatin1String("Scroll")) {
        called = QMetaObject::invokeMethod(adaptor_.data(), "Scroll", Q_ARG(int, arguments.value(0).toInt()),
                                           Q_ARG(QString, arguments.value(1).toString()));
    } else if (member == QLatin1String("ProvideXdgActivationToken")) {
        called = QMetaObject::invokeMethod(adaptor_.data(), "ProvideXdgActivationToken",
                                           Q_ARG(QString, arguments.value(0).toString()));
    }
    if (!called) return fail("org.freedesktop.DBus.Error.UnknownMethod", QStringLiteral("No such method"));
    connection_.send(message.createReply());
}

void MenuOnlyItem::relay(QObject*, const QMetaObject* metaObject, int signal, const QVariantList& arguments) {
    if (!adaptor_ || !metaObject || metaObject != adaptor_->metaObject()) return;
    auto name = QString::fromLatin1(metaObject->method(signal).name());
    auto message = QDBusMessage::createSignal(QString::fromLatin1(itemPath), QString::fromLatin1(itemInterface), name);
    message.setArguments(arguments);
    connection_.send(message);
}

}  // namespace kestro::view
