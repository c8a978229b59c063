#include "app/view/menu_only_item.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QMetaMethod>
#include <QMetaProperty>

namespace kestro::view {
namespace {

constexpr const char* itemPath = "/StatusNotifierItem";

// The object of the item Qt exports, each time on a bus connection of its own named after the
// item (numbered on from 1 at each show()).
QObject* qtItem() {
    for (int instance = 1; instance <= 64; ++instance) {
        QDBusConnection connection(
            QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(instance));
        if (!connection.isConnected()) continue;
        if (auto* item = connection.objectRegisteredAt(QString::fromLatin1(itemPath))) return item;
    }
    return nullptr;
}

// The child of the item's object of that class whose "D-Bus Interface" is the item's.
template <class Filter>
QObject* itemAdaptor(QObject* item, Filter keep) {
    for (auto* child : item->children()) {
        const auto* meta = child->metaObject();
        int info = meta->indexOfClassInfo("D-Bus Interface");
        if (info >= 0 && QLatin1String(meta->classInfo(info).value()) == QLatin1String("org.kde.StatusNotifierItem") &&
            keep(child))
            return child;
    }
    return nullptr;
}

}  // namespace

bool MenuOnlyItem::takeOver() {
    auto* item = qtItem();
    if (!item) return false;
    // Qt keeps the item's object from one show() to the next: ours is still there.
    if (item->findChild<MenuOnlyItem*>(QString(), Qt::FindDirectChildrenOnly)) return true;
    auto* qt = itemAdaptor(item, [](QObject* child) { return !qobject_cast<MenuOnlyItem*>(child); });
    if (!qt) return false;
    // The types of Qt's own values, learnt from its adaptor once, before the bus first asks.
    static const bool registered = [qt] {
        const auto* meta = qt->metaObject();
        ItemImages::qtType() = meta->property(meta->indexOfProperty("IconPixmap")).metaType();
        ItemToolTip::qtType() = meta->property(meta->indexOfProperty("ToolTip")).metaType();
        if (!ItemImages::qtType().isValid() || !ItemToolTip::qtType().isValid()) return false;
        qDBusRegisterMetaType<ItemImages>();
        qDBusRegisterMetaType<ItemToolTip>();
        return true;
    }();
    if (!registered) return false;
    new MenuOnlyItem(item, qt);
    return true;
}

MenuOnlyItem::MenuOnlyItem(QObject* item, QObject* qtAdaptor) : QDBusAbstractAdaptor(item), qt_(qtAdaptor) {
    // Qt's adaptor's signals, passed on as ours: the bus hears only those of the adaptor that
    // serves the interface.
    const auto* theirs = qtAdaptor->metaObject();
    const auto* ours = metaObject();
    for (int index = theirs->methodOffset(); index < theirs->methodCount(); ++index) {
        auto signal = theirs->method(index);
        if (signal.methodType() != QMetaMethod::Signal) continue;
        int same = ours->indexOfSignal(signal.methodSignature().constData());
        if (same >= 0) connect(qtAdaptor, signal, this, ours->method(same));
    }
    // An adaptor made after its object was exported takes its place once the object's adaptors
    // are gathered again, which Qt does from the event loop. That is done now, so that no host
    // that asks at once still reads the item as Qt made it. (Ours comes after Qt's among the
    // children, so for their common interface it is the one that stays.)
    for (auto* child : item->children()) {
        if (qstrcmp(child->metaObject()->className(), "QDBusAdaptorConnector") == 0)
            QMetaObject::invokeMethod(child, "polish", Qt::DirectConnection);
    }
}

QVariant MenuOnlyItem::forwarded(const char* name) const {
    if (!qt_) return {};
    int index = qt_->metaObject()->indexOfProperty(name);
    return index < 0 ? QVariant() : qt_->metaObject()->property(index).read(qt_.data());
}

void MenuOnlyItem::ProvideXdgActivationToken(const QString& token) {
    if (qt_) QMetaObject::invokeMethod(qt_.data(), "ProvideXdgActivationToken", Q_ARG(QString, token));
}

void MenuOnlyItem::ContextMenu(int x, int y) {
    if (qt_) QMetaObject::invokeMethod(qt_.data(), "ContextMenu", Q_ARG(int, x), Q_ARG(int, y));
}

void MenuOnlyItem::Activate(int x, int y) {
    if (qt_) QMetaObject::invokeMethod(qt_.data(), "Activate", Q_ARG(int, x), Q_ARG(int, y));
}

void MenuOnlyItem::SecondaryActivate(int x, int y) {
    if (qt_) QMetaObject::invokeMethod(qt_.data(), "SecondaryActivate", Q_ARG(int, x), Q_ARG(int, y));
}

void MenuOnlyItem::Scroll(int delta, const QString& orientation) {
    if (qt_) QMetaObject::invokeMethod(qt_.data(), "Scroll", Q_ARG(int, delta), Q_ARG(QString, orientation));
}

}  // namespace kestro::view
