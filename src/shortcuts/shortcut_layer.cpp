#include "shortcuts/shortcut_layer.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "platform/defaults/user_defaults.hpp"
#include "platform/hotkeys/keyboard_layout.hpp"
#include "platform/runtime/print.hpp"

namespace asio = boost::asio;

namespace GlobalShortcuts {
namespace {

std::shared_ptr<ShortcutLayer>& sharedLayer() {
    static std::shared_ptr<ShortcutLayer> layer;
    return layer;
}

template <class Map>
auto findName(Map& map, const Name& name) {
    return std::find_if(map.begin(), map.end(), [&](const auto& entry) { return entry.first == name; });
}

}  // namespace

std::shared_ptr<ShortcutLayer> ShortcutLayer::create(platform::UserDefaults& defaults,
                                                     platform::NotificationCenter& notifications,
                                                     asio::any_io_executor mainExecutor,
                                                     std::shared_ptr<platform::HotKeyBackend> hotKeyBackend,
                                                     std::shared_ptr<platform::KeyboardLayout> keyboardLayout) {
    return std::shared_ptr<ShortcutLayer>(new ShortcutLayer(defaults, notifications, std::move(mainExecutor),
                                                            std::move(hotKeyBackend), std::move(keyboardLayout)));
}

ShortcutLayer::ShortcutLayer(platform::UserDefaults& defaults, platform::NotificationCenter& notifications,
                             asio::any_io_executor mainExecutor,
                             std::shared_ptr<platform::HotKeyBackend> hotKeyBackend,
                             std::shared_ptr<platform::KeyboardLayout> keyboardLayout)
    : defaults_(defaults),
      notifications_(notifications),
      mainExecutor_(std::move(mainExecutor)),
      keyboardLayout_(std::move(keyboardLayout)),
      hotKeys_(std::move(hotKeyBackend), [this](const Shortcut& shortcut) { return description(shortcut); }) {
    // A desktop that binds by name may change what triggers a name (the user rebinds it in its
    // settings); what the name shows changes with it.
    if (auto* backend = hotKeys_.backend().get()) {
        backend->setTriggerChangeHandler([this](const std::vector<std::string>& names) {
            for (const auto& raw : names) postShortcutChange(Name(Name::Plain{}, raw, std::nullopt));
        });
    }
}

ShortcutLayer::~ShortcutLayer() {
    if (auto* backend = hotKeys_.backend().get()) backend->setTriggerChangeHandler({});
}

void ShortcutLayer::install(std::shared_ptr<ShortcutLayer> layer) { sharedLayer() = std::move(layer); }

std::shared_ptr<ShortcutLayer> ShortcutLayer::shared() { return sharedLayer(); }

// Names and storage

Name ShortcutLayer::name(std::string rawValue, std::optional<Shortcut> defaultShortcut) {
    Name name(Name::Plain{}, std::move(rawValue), defaultShortcut);
    declare(name);
    return name;
}

void ShortcutLayer::declare(const Name& name) {
    if (name.defaultShortcut && !hasStoredValue(name)) storeShortcut(name, *name.defaultShortcut);
    installMenuTrackingObservers();
}

std::string ShortcutLayer::key(const Name& name) { return userDefaultsPrefix + name.rawValue; }

std::optional<Shortcut> ShortcutLayer::getShortcut(const Name& name) const {
    auto json = defaults_.string(key(name));
    if (!json) return std::nullopt;
    return Shortcut::fromJson(*json);
}

bool ShortcutLayer::hasStoredValue(const Name& name) const { return defaults_.contains(key(name)); }

void ShortcutLayer::setShortcut(std::optional<Shortcut> shortcut, const Name& name) {
    if (shortcut) {
        storeShortcut(name, *shortcut);
    } else {
        clearShortcut(name);
    }
}

// A store that cannot be written leaves everything as it was and says so; callers see no error.
bool ShortcutLayer::write(const Name& name, std::optional<platform::UserDefaults::Value> value) {
    try {
        if (value) {
            defaults_.set(key(name), std::move(*value));
        } else {
            defaults_.remove(key(name));
        }
        return true;
    } catch (const std::exception& error) {
        platform::print("Could not store the shortcut of " + name.rawValue + ": " + error.what());
        return false;
    }
}

void ShortcutLayer::storeShortcut(const Name& name, const Shortcut& shortcut) {
    auto previous = getShortcut(name);
    if (!write(name, platform::UserDefaults::Value(shortcut.toJson()))) return;
    if (previous) {
        // Storing the same shortcut again takes its hot key anew (a fresh id).
        if (*previous == shortcut) {
            hotKeys_.unregisterHotKeys(previous->carbonKeyCode, previous->carbonModifiers);
        } else {
            releaseUnlessUsed(*previous);
        }
    }
    registerShortcut(shortcut);
    syncNamedHotKeys();
    postShortcutChange(name);
}

void ShortcutLayer::clearShortcut(const Name& name) {
    auto previous = getShortcut(name);
    if (!previous) return;
    // A name with a default keeps false, so that its default is not stored again.
    if (!write(name, name.defaultShortcut ? std::optional(platform::UserDefaults::Value(false)) : std::nullopt)) {
        return;
    }
    releaseUnlessUsed(*previous);
    syncNamedHotKeys();
    postShortcutChange(name);
}

void ShortcutLayer::postShortcutChange(const Name& name) {
    notifications_.post(shortcutByNameDidChangeNotification, {{"name", name}});
}

std::vector<Name> ShortcutLayer::storedShortcutNames() const {
    std::vector<Name> names;
    const std::string prefix = userDefaultsPrefix;
    for (const auto& stored : defaults_.keys()) {
        if (stored.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(Name(Name::Plain{}, stored.substr(prefix.size()), std::nullopt));
        }
    }
    return names;
}

void ShortcutLayer::installMenuTrackingObservers() {
    if (menuBeganToken_) return;
    menuBeganToken_ = notifications_.addObserver(menuDidBeginTrackingNotification,
                                                 [this](const platform::Notification&) { hotKeys_.setMenuOpen(true); });
    menuEndedToken_ = notifications_.addObserver(menuDidEndTrackingNotification,
                                                 [this](const platform::Notification&) { hotKeys_.setMenuOpen(false); });
}

// Registration

std::unordered_set<Shortcut> ShortcutLayer::registeredShortcuts() const {
    std::unordered_set<Shortcut> shortcuts;
    for (const auto& entry : hotKeys_.entries()) shortcuts.insert(entry.shortcut);
    return shortcuts;
}

void ShortcutLayer::registerShortcut(const Shortcut& shortcut) {
    if (hotKeys_.holds(shortcut)) return;
    hotKeys_.registerHotKey(
        shortcut.carbonKeyCode, shortcut.carbonModifiers,
        [this](const Shortcut& pressed) { handleKeyDown(pressed); },
        [this](const Shortcut& released) { handleKeyUp(released); });
}

void ShortcutLayer::registerIfNeeded(const Name& name) {
    if (auto shortcut = getShortcut(name)) registerShortcut(*shortcut);
    syncNamedHotKeys();
}

// Every name in use whose shortcut has a hot key (or is wanted, refused so far), in the order
// the names were first used.
void ShortcutLayer::syncNamedHotKeys() {
    auto* backend = hotKeys_.backend().get();
    if (!backend) return;
    auto refused = hotKeys_.refusedShortcuts();
    std::vector<platform::NamedHotKey> named;
    auto add = [&](const Name& name) {
        for (const auto& other : named) {
            if (other.name == name.rawValue) return;
        }
        auto shortcut = getShortcut(name);
        if (!shortcut || shortcut->carbonKeyCode < 0 || shortcut->carbonKeyCode > 0xFFFFFFFF ||
            shortcut->carbonModifiers < 0 || shortcut->carbonModifiers > 0xFFFFFFFF) {
            return;
        }
        if (!hotKeys_.holds(*shortcut) && std::find(refused.begin(), refused.end(), *shortcut) == refused.end()) return;
        named.push_back({name.rawValue, static_cast<std::uint32_t>(shortcut->carbonKeyCode),
                         static_cast<std::uint32_t>(shortcut->carbonModifiers)});
    };
    for (const auto* handlers : {&keyDownHandlers_, &keyUpHandlers_}) {
        for (const auto& [name, actions] : *handlers) add(name);
    }
    for (const auto& [name, streams] : streamHandlers_) {
        if (!streams.empty()) add(name);
    }
    backend->setNamedHotKeys(std::move(named));
}

std::optional<std::string> ShortcutLayer::desktopTrigger(const std::string& name) const {
    auto* backend = hotKeys_.backend().get();
    return backend ? backend->triggerDescription(name) : std::nullopt;
}

std::optional<Shortcut> ShortcutLayer::shownShortcut(const std::string& name) const {
    auto* backend = hotKeys_.backend().get();
    if (auto bound = backend ? backend->boundCombination(name) : std::nullopt) {
        if (!bound->bound) return std::nullopt;
        return Shortcut(bound->carbonKeyCode, bound->carbonModifiers);
    }
    return getShortcut(Name(Name::Plain{}, name, std::nullopt));
}

std::string ShortcutLayer::displayedShortcut(const std::string& name) const {
    if (auto trigger = desktopTrigger(name)) return *trigger;
    auto shortcut = shownShortcut(name);
    return shortcut ? description(*shortcut) : std::string();
}

std::unordered_set<Shortcut> ShortcutLayer::shortcutsInUse() const {
    std::unordered_set<Shortcut> used;
    for (const auto* handlers : {&keyDownHandlers_, &keyUpHandlers_}) {
        for (const auto& [name, actions] : *handlers) {
            if (auto shortcut = getShortcut(name)) used.insert(*shortcut);
        }
    }
    for (const auto& [name, streams] : streamHandlers_) {
        if (streams.empty()) continue;
        if (auto shortcut = getShortcut(name)) used.insert(*shortcut);
    }
    return used;
}

// A shortcut that a name gave up keeps its hot key while another name's actions or streams
// still need it.
void ShortcutLayer::releaseUnlessUsed(const Shortcut& shortcut) {
    if (shortcutsInUse().count(shortcut)) return;
    hotKeys_.unregisterHotKeys(shortcut.carbonKeyCode, shortcut.carbonModifiers);
}

bool ShortcutLayer::isEnabled() const { return hotKeys_.isEnabled(); }

void ShortcutLayer::setEnabled(bool enabled) { hotKeys_.setEnabled(enabled); }

void ShortcutLayer::disable(const std::vector<Name>& names) {
    for (const auto& name : names) {
        if (auto shortcut = getShortcut(name)) hotKeys_.unregisterHotKeys(shortcut->carbonKeyCode, shortcut->carbonModifiers);
    }
    syncNamedHotKeys();
}

void ShortcutLayer::enable(const std::vector<Name>& names) {
    for (const auto& name : names) registerIfNeeded(name);
}

void ShortcutLayer::reset(const std::vector<Name>& names) {
    for (const auto& name : names) {
        if (name.defaultShortcut) {
            storeShortcut(name, *name.defaultShortcut);
        } else {
            clearShortcut(name);
        }
    }
}

void ShortcutLayer::resetAll() { reset(storedShortcutNames()); }

void ShortcutLayer::removeAllHandlers() {
    std::unordered_set<Shortcut> byStreams;
    for (const auto& [name, streams] : streamHandlers_) {
        if (streams.empty()) continue;
        if (auto shortcut = getShortcut(name)) byStreams.insert(*shortcut);
    }
    for (const auto* handlers : {&keyDownHandlers_, &keyUpHandlers_}) {
        for (const auto& [name, actions] : *handlers) {
            auto shortcut = getShortcut(name);
            if (shortcut && !byStreams.count(*shortcut)) {
                hotKeys_.unregisterHotKeys(shortcut->carbonKeyCode, shortcut->carbonModifiers);
            }
        }
    }
    keyDownHandlers_.clear();
    keyUpHandlers_.clear();
    syncNamedHotKeys();
}

// Actions, streams and dispatch

void ShortcutLayer::onKeyDown(const Name& name, Action action) {
    auto found = findName(keyDownHandlers_, name);
    if (found == keyDownHandlers_.end()) found = keyDownHandlers_.insert(keyDownHandlers_.end(), {name, {}});
    found->second.push_back(std::move(action));
    registerIfNeeded(name);
}

void ShortcutLayer::onKeyUp(const Name& name, Action action) {
    auto found = findName(keyUpHandlers_, name);
    if (found == keyUpHandlers_.end()) found = keyUpHandlers_.insert(keyUpHandlers_.end(), {name, {}});
    found->second.push_back(std::move(action));
    registerIfNeeded(name);
}

EventStream ShortcutLayer::events(const Name& name) { return makeStream(name, std::nullopt); }

EventStream ShortcutLayer::events(EventType type, const Name& name) { return makeStream(name, type); }

EventStream ShortcutLayer::makeStream(const Name& name, std::optional<EventType> only) {
    std::uint64_t id = ++lastStreamId_;
    std::weak_ptr<ShortcutLayer> weak = weak_from_this();
    asio::any_io_executor executor = mainExecutor_;
    auto channel = EventStream::makeChannel(only, [weak, executor, name, id] {
        asio::post(executor, [weak, name, id] {
            if (auto layer = weak.lock()) layer->removeStreamHandler(name, id);
        });
    });
    asio::post(executor, [weak, name, id, channel = std::weak_ptr<EventStream::Channel>(channel)] {
        auto layer = weak.lock();
        auto live = channel.lock();
        if (layer && live && !EventStream::isEnded(*live)) layer->addStreamHandler(name, id, live);
    });
    return EventStream(channel);
}

void ShortcutLayer::addStreamHandler(const Name& name, std::uint64_t id,
                                     std::shared_ptr<EventStream::Channel> channel) {
    auto found = findName(streamHandlers_, name);
    if (found == streamHandlers_.end()) found = streamHandlers_.insert(streamHandlers_.end(), {name, {}});
    found->second.emplace_back(id, std::move(channel));
    registerIfNeeded(name);
}

void ShortcutLayer::removeStreamHandler(const Name& name, std::uint64_t id) {
    auto found = findName(streamHandlers_, name);
    if (found == streamHandlers_.end()) return;
    auto& streams = found->second;
    auto before = streams.size();
    std::erase_if(streams, [id](const auto& stream) { return stream.first == id; });
    if (streams.size() == before) return;
    if (auto shortcut = getShortcut(name)) releaseUnlessUsed(*shortcut);
    syncNamedHotKeys();
}

void ShortcutLayer::handleKeyDown(const Shortcut& shortcut) { dispatch(shortcut, EventType::keyDown); }

void ShortcutLayer::handleKeyUp(const Shortcut& shortcut) { dispatch(shortcut, EventType::keyUp); }

void ShortcutLayer::dispatch(const Shortcut& shortcut, EventType type) {
    if (isRecorderActive()) return;
    // Snapshots: actions may add actions, streams or change shortcuts while they run.
    Actions actions = type == EventType::keyDown ? keyDownHandlers_ : keyUpHandlers_;
    for (const auto& [name, list] : actions) {
        if (getShortcut(name) != shortcut) continue;
        for (const auto& action : list) {
            if (action) action();
        }
    }
    Streams streams = streamHandlers_;
    for (const auto& [name, list] : streams) {
        if (list.empty() || getShortcut(name) != shortcut) continue;
        for (const auto& [id, channel] : list) EventStream::yield(*channel, type);
    }
}

void ShortcutLayer::setRecorderActive(bool active) {
    recordingRecorders_ = active ? std::max(recordingRecorders_, 1) : 0;
    applyRecorderState();
}

void ShortcutLayer::recorderDidStart() {
    ++recordingRecorders_;
    applyRecorderState();
}

void ShortcutLayer::recorderDidEnd(bool wasRecording) {
    if (wasRecording && recordingRecorders_ > 0) --recordingRecorders_;
    applyRecorderState();
}

void ShortcutLayer::applyRecorderState() {
    hotKeys_.setRecording(isRecorderActive());
    notifications_.post(recorderActiveStatusDidChangeNotification, {{"isActive", isRecorderActive()}});
}

void ShortcutLayer::retryRefusedHotKeys() { hotKeys_.retryRefused(); }

bool ShortcutLayer::handleMenuKeyEvent(const KeyEvent& event) { return hotKeys_.handleMenuKeyEvent(event); }

std::string ShortcutLayer::description(const Shortcut& shortcut) const {
    return shortcut.description(keyboardLayout_.get());
}

}  // namespace GlobalShortcuts
