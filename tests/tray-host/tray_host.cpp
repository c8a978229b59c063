// Desktop services on the session bus for the end-to-end tests, one line on standard output for
// each thing the app does with them:
//   tray_host --watcher        org.kde.StatusNotifierWatcher with a host: "item <service><path>"
//                              for each RegisterStatusNotifierItem
//   tray_host --notifications  org.freedesktop.Notifications: "notify <summary>|<body>" for each
//                              Notify
// "ready" once the names are owned. Runs until killed.

#include <QCoreApplication>
#include <QDBusConnection>
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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "tray_host: no session bus\n");
        return 1;
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
