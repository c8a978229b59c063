#include "shortcuts/qt/shortcut_helpers.hpp"

#include <QPointer>
#include <QWidget>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "platform/notifications/notification_center.hpp"
#include "shortcuts/qt/qt_keys.hpp"
#include "shortcuts/shortcut_layer.hpp"

namespace asio = boost::asio;

namespace GlobalShortcuts {
namespace {

// Ends the stream when its owner goes.
class StreamGuard : public QObject {
public:
    StreamGuard(QObject* owner, std::shared_ptr<EventStream> stream) : QObject(owner), stream_(std::move(stream)) {}
    ~StreamGuard() override { stream_->end(); }

private:
    std::shared_ptr<EventStream> stream_;
};

asio::awaitable<void> runStream(std::shared_ptr<EventStream> stream, QPointer<QObject> guard,
                                std::function<void(EventType)> action) {
    while (auto event = co_await stream->next()) {
        if (!guard) co_return;
        action(*event);
    }
}

void follow(QObject* owner, std::shared_ptr<ShortcutLayer> layer, EventStream stream,
            std::function<void(EventType)> action) {
    auto shared = std::make_shared<EventStream>(std::move(stream));
    QPointer<QObject> guard(new StreamGuard(owner, shared));
    asio::co_spawn(layer->mainExecutor(), runStream(shared, guard, std::move(action)), asio::detached);
}

class StoredShortcut : public QShortcut {
public:
    StoredShortcut(QWidget* parent, Name name, const std::shared_ptr<ShortcutLayer>& layer)
        : QShortcut(parent), name_(std::move(name)), layer_(layer), recorderActive_(layer->isRecorderActive()) {
        auto& center = layer->notificationCenter();
        changes_ = center.addObserver(shortcutByNameDidChangeNotification, [this](const platform::Notification& n) {
            const Name* changed = n.get<Name>("name");
            if (changed && changed->rawValue == name_.rawValue) refresh();
        });
        recorder_ = center.addObserver(recorderActiveStatusDidChangeNotification, [this](const platform::Notification& n) {
            const bool* active = n.get<bool>("isActive");
            recorderActive_ = active && *active;
            refresh();
        });
        refresh();
    }

private:
    void refresh() {
        auto layer = layer_.lock();
        std::optional<Shortcut> stored = layer && !recorderActive_ ? layer->getShortcut(name_) : std::nullopt;
        setKey(stored ? keySequence(*stored, layer->keyboardLayout()) : QKeySequence());
    }

    Name name_;
    std::weak_ptr<ShortcutLayer> layer_;
    bool recorderActive_;
    platform::ObserverToken changes_;
    platform::ObserverToken recorder_;
};

}  // namespace

void onGlobalKeyboardShortcut(QObject* owner, const Name& name, std::function<void(EventType)> action,
                              std::shared_ptr<ShortcutLayer> layer) {
    if (!layer) layer = ShortcutLayer::shared();
    if (!owner || !layer || !action) return;
    follow(owner, layer, layer->events(name), std::move(action));
}

void onGlobalKeyboardShortcut(QObject* owner, const Name& name, EventType type, std::function<void()> action,
                              std::shared_ptr<ShortcutLayer> layer) {
    if (!layer) layer = ShortcutLayer::shared();
    if (!owner || !layer || !action) return;
    follow(owner, layer, layer->events(type, name), [action = std::move(action)](EventType) { action(); });
}

QShortcut* globalKeyboardShortcut(QWidget* parent, const Name& name, std::shared_ptr<ShortcutLayer> layer) {
    if (!layer) layer = ShortcutLayer::shared();
    if (!parent) return nullptr;
    if (!layer) return new QShortcut(parent);
    return new StoredShortcut(parent, name, layer);
}

}  // namespace GlobalShortcuts
