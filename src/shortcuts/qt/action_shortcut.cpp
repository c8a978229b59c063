#include "shortcuts/qt/action_shortcut.hpp"

#include <QAction>
#include <QPointer>
#include <QTimer>

#include "platform/notifications/notification_center.hpp"
#include "shortcuts/qt/qt_keys.hpp"
#include "shortcuts/shortcut_layer.hpp"

namespace GlobalShortcuts {
namespace {

// Owned by the action it binds: goes (and stops observing) with it or with the next binding.
class ActionBinding : public QObject {
public:
    static constexpr const char* objectName = "GlobalShortcuts.ActionBinding";

    ActionBinding(QAction* action, const Name& name, const std::shared_ptr<ShortcutLayer>& layer)
        : QObject(action) {
        setObjectName(QString::fromLatin1(objectName));
        std::weak_ptr<ShortcutLayer> weakLayer = layer;
        QPointer<QAction> weakAction(action);
        token_ = layer->notificationCenter().addObserver(
            shortcutByNameDidChangeNotification,
            [weakAction, weakLayer, name](const platform::Notification& notification) {
                const Name* changed = notification.get<Name>("name");
                if (!changed || changed->rawValue != name.rawValue || !weakAction) return;
                // Applied on the next turn, with what is stored then.
                QTimer::singleShot(0, weakAction.data(), [weakAction, weakLayer, name] {
                    auto layer = weakLayer.lock();
                    if (weakAction && layer) apply(weakAction.data(), *layer, name);
                });
            });
    }

    static void apply(QAction* action, const ShortcutLayer& layer, const Name& name) {
        setShortcut(action, layer.getShortcut(name), layer.keyboardLayout());
    }

private:
    platform::ObserverToken token_;
};

}  // namespace

void setShortcut(QAction* action, const std::optional<Shortcut>& shortcut, const platform::KeyboardLayout* layout) {
    if (!action) return;
    action->setShortcut(shortcut ? keySequence(*shortcut, layout) : QKeySequence());
}

void setShortcutFor(QAction* action, const std::optional<Name>& name, std::shared_ptr<ShortcutLayer> layer) {
    if (!action) return;
    // The earlier binding's observation ends with it.
    delete action->findChild<ActionBinding*>(QString::fromLatin1(ActionBinding::objectName),
                                             Qt::FindDirectChildrenOnly);
    if (!layer) layer = ShortcutLayer::shared();
    if (!name || !layer) {
        action->setShortcut(QKeySequence());
        return;
    }
    ActionBinding::apply(action, *layer, *name);
    new ActionBinding(action, *name, layer);
}

}  // namespace GlobalShortcuts
