// Desktop services on the session bus for the end-to-end tests, one line on standard output for
// each thing the app does with them:
//   tray_host --watcher        org.kde.StatusNotifierWatcher with a host: "item <service><path>"
//                              for each RegisterStatusNotifierItem
//   tray_host --notifications  org.freedesktop.Notifications: "notify <summary>|<body>" for each
//                              Notify
// "ready" once the names are owned. Runs until killed.
//   tray_host --layout         asks the session's StatusNotifierWatcher for its items and prints
//                              each item's exported menu as a host reads it over DBusMenu, one
//                              line per entry: "item <service>" then
//                              "<depth>|<label>|<shortcut>|visible=<0/1>|enabled=<0/1>|icon=<0/1>|<type>";
//                              exits 0 after that, 1 when there is no watcher.
//   tray_host --layout --ids   the same, each entry line followed by "|id=<id>|name=<icon-name>".
//                              The item line ends in "|menu-only=<0/1>", the item's ItemIsMenu.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class Watcher : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.kde.StatusNotifierWatcher\">"
            "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<method name=\"RegisterStatusNotifierHost\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
            "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
            "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
            "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierHostRegistered\"/>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        const auto member = message.member();
        if (member == "RegisterStatusNotifierItem") {
            // Either a bus name or an object path on the caller's connection.
            auto service = message.arguments().value(0).toString();
            auto item = service.startsWith('/') ? message.service() + service : service;
            items_ << item;
            say("item " + item);
            bus.send(message.createReply());
            return true;
        }
        if (member == "RegisterStatusNotifierHost") {
            bus.send(message.createReply());
            return true;
        }
        if (message.interface() == "org.freedesktop.DBus.Properties") {
            QVariantMap all{{"RegisteredStatusNotifierItems", items_},
                            {"IsStatusNotifierHostRegistered", true},
                            {"ProtocolVersion", 0}};
            if (member == "GetAll") {
                bus.send(message.createReply(QVariant::fromValue(all)));
            } else {
                bus.send(message.createReply(
                    QVariant::fromValue(QDBusVariant(all.value(message.arguments().value(1).toString())))));
            }
            return true;
        }
        return false;
    }

private:
    QStringList items_;
};

class Notifications : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.freedesktop.Notifications\">"
            "<method name=\"Notify\"><arg type=\"s\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/>"
            "<arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
            "<arg type=\"as\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/>"
            "<arg type=\"u\" direction=\"out\"/></method>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        if (message.member() != "Notify") return false;
        auto arguments = message.arguments();
        say("notify " + arguments.value(3).toString() + "|" + arguments.value(4).toString());
        bus.send(message.createReply(QVariant::fromValue(++count_)));
        return true;
    }

private:
    uint count_ = 0;
};

// The value inside a variant that may hold a QDBusArgument (nested D-Bus values stay unparsed).
QString shortcutText(const QVariant& value) {
    // "shortcut" is aas: [["Control", "P"]].
    if (!value.canConvert<QDBusArgument>()) return {};
    const auto argument = value.value<QDBusArgument>();
    QStringList chords;
    argument.beginArray();
    while (!argument.atEnd()) {
        QStringList keys;
        argument >> keys;
        chords << keys.join('+');
    }
    argument.endArray();
    return chords.join(',');
}

bool withIds = false;

// One (ia{sv}av) layout node and its children.
void printNode(const QDBusArgument& node, int depth) {
    int id = 0;
    QVariantMap properties;
    node.beginStructure();
    node >> id >> properties;
    if (depth > 0) {
        auto flag = [&](const char* name, bool fallback) {
            return properties.contains(name) ? properties.value(name).toBool() : fallback;
        };
        say(QString::number(depth) + "|" + properties.value("label").toString() + "|" +
            shortcutText(properties.value("shortcut")) + "|visible=" + QString::number(flag("visible", true)) +
            "|enabled=" + QString::number(flag("enabled", true)) +
            "|icon=" + QString::number(properties.contains("icon-data") || properties.contains("icon-name")) + "|" +
            properties.value("type", "standard").toString() +
            (withIds ? "|id=" + QString::number(id) + "|name=" + properties.value("icon-name").toString() : QString()));
    }
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        printNode(child.variant().value<QDBusArgument>(), depth + 1);
    }
    node.endArray();
    node.endStructure();
}

int printLayouts(const QDBusConnection& bus) {
    auto get = QDBusMessage::createMethodCall("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                              "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.kde.StatusNotifierWatcher") << QString("RegisteredStatusNotifierItems");
    auto items = bus.call(get, QDBus::Block, 5000);
    if (items.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "tray_host: %s\n", items.errorMessage().toUtf8().constData());
        return 1;
    }
    for (const auto& item : items.arguments().value(0).value<QDBusVariant>().variant().toStringList()) {
        auto slash = item.indexOf('/');
        auto service = slash < 0 ? item : item.left(slash);
        auto path = slash < 0 ? QString("/StatusNotifierItem") : item.mid(slash);
        auto menuOnly = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
        menuOnly << QString("org.kde.StatusNotifierItem") << QString("ItemIsMenu");
        auto isMenu = bus.call(menuOnly, QDBus::Block, 5000).arguments().value(0).value<QDBusVariant>().variant();
        say("item " + item + "|menu-only=" + QString::number(isMenu.toBool()));
        auto menuGet = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
        menuGet << QString("org.kde.StatusNotifierItem") << QString("Menu");
        auto menu = bus.call(menuGet, QDBus::Block, 5000);
        if (menu.type() != QDBusMessage::ReplyMessage) continue;
        auto menuPath = menu.arguments().value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
        auto layout = QDBusMessage::createMethodCall(service, menuPath, "com.canonical.dbusmenu", "GetLayout");
        layout << 0 << -1 << QStringList();
        auto reply = bus.call(layout, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) continue;
        printNode(reply.arguments().value(1).value<QDBusArgument>(), 0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "tray_host: no session bus\n");
        return 1;
    }
    if (QCoreApplication::arguments().value(1) == "--layout") {
        withIds = QCoreApplication::arguments().value(2) == "--ids";
        return printLayouts(bus);
    }

    Watcher watcher;
    Notifications notifications;
    for (const auto& argument : QCoreApplication::arguments().mid(1)) {
        bool owned = false;
        if (argument == "--watcher") {
            owned = bus.registerVirtualObject("/StatusNotifierWatcher", &watcher) &&
                    bus.registerService("org.kde.StatusNotifierWatcher");
        } else if (argument == "--notifications") {
            owned = bus.registerVirtualObject("/org/freedesktop/Notifications", &notifications) &&
                    bus.registerService("org.freedesktop.Notifications");
        }
        if (!owned) {
            std::fprintf(stderr, "tray_host: cannot serve %s\n", argument.toUtf8().constData());
            return 2;
        }
    }
    say("ready");
    return QCoreApplication::exec();
}
