#pragma once
// The global-shortcut layer: the shortcut stored for each name (user defaults, key
// "GlobalShortcuts_" + name, JSON text or false), the actions and event streams attached to
// names, and the dispatch of every hot-key press and release to the names whose stored shortcut
// it is. Confined to the main executor. The application installs one process-wide instance for
// the GlobalShortcuts:: operations; tests build their own.

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/defaults/user_defaults.hpp"
#include "platform/notifications/notification_center.hpp"
#include "shortcuts/event_stream.hpp"
#include "shortcuts/hot_keys.hpp"
#include "shortcuts/name.hpp"

namespace platform {
class KeyboardLayout;
class HotKeyBackend;
}  // namespace platform

namespace GlobalShortcuts {

inline constexpr const char* userDefaultsPrefix = "GlobalShortcuts_";
// Posted with user info "name" (the Name) after a name's stored shortcut, or what the desktop says
// triggers it, changed.
inline constexpr const char* shortcutByNameDidChangeNotification = "GlobalShortcuts_shortcutByNameDidChange";
// Posted with user info "isActive" (bool) when a recorder starts or stops recording.
inline constexpr const char* recorderActiveStatusDidChangeNotification =
    "GlobalShortcuts_recorderActiveStatusDidChange";
// Posted (by the application's menus) when a menu starts and stops holding the keyboard.
inline constexpr const char* menuDidBeginTrackingNotification = "MenuDidBeginTracking";
inline constexpr const char* menuDidEndTrackingNotification = "MenuDidEndTracking";

class ShortcutLayer : public std::enable_shared_from_this<ShortcutLayer> {
public:
    using Action = std::function<void()>;

    static std::shared_ptr<ShortcutLayer> create(platform::UserDefaults& defaults,
                                                 platform::NotificationCenter& notifications,
                                                 boost::asio::any_io_executor mainExecutor,
                                                 std::shared_ptr<platform::HotKeyBackend> hotKeyBackend,
                                                 std::shared_ptr<platform::KeyboardLayout> keyboardLayout);
    ~ShortcutLayer();
    ShortcutLayer(const ShortcutLayer&) = delete;
    ShortcutLayer& operator=(const ShortcutLayer&) = delete;

    // The process-wide instance (none until installed; installing nullptr removes it).
    static void install(std::shared_ptr<ShortcutLayer> layer);
    static std::shared_ptr<ShortcutLayer> shared();

    // A name on this layer: the default is stored when nothing is stored under the name yet.
    Name name(std::string rawValue, std::optional<Shortcut> defaultShortcut = std::nullopt);
    void declare(const Name& name);

    // Stored shortcuts. Unreadable stored values read as none.
    std::optional<Shortcut> getShortcut(const Name& name) const;
    // A shortcut is stored and held as a hot key at once; none clears the name (false is kept
    // for a name with a default, so that its default is not stored again).
    void setShortcut(std::optional<Shortcut> shortcut, const Name& name);
    bool hasStoredValue(const Name& name) const;
    // Every name with an entry in the store (without defaults).
    std::vector<Name> storedShortcutNames() const;

    // Actions run on the main executor for every press (release) of the name's stored shortcut,
    // in the order added, unless a recorder is recording. Adding one registers the shortcut.
    void onKeyDown(const Name& name, Action action);
    void onKeyUp(const Name& name, Action action);
    // Presses and releases of the name's shortcut while the stream lives (may be called from any
    // thread; the stream takes part from its set-up on the main executor on).
    EventStream events(const Name& name);
    EventStream events(EventType type, const Name& name);

    bool isEnabled() const;
    void setEnabled(bool enabled);
    void disable(const std::vector<Name>& names);
    void enable(const std::vector<Name>& names);
    // Names with a default get it back; others are cleared.
    void reset(const std::vector<Name>& names);
    void resetAll();
    // Drops every action (streams stay) and releases the hot keys only actions used.
    void removeAllHandlers();

    // The recorder-active flag: set while at least one recorder records. Meanwhile nothing is
    // dispatched and the hot keys are suspended, so that the keys reach the recorder's window.
    // Every change of a recorder's state is announced (recorderActiveStatusDidChange, "isActive"
    // the flag as it now is).
    bool isRecorderActive() const { return recordingRecorders_ > 0; }
    // Sets or clears the flag outright, whatever recorders record.
    void setRecorderActive(bool active);
    // A recorder started recording; one that stops says whether it had been recording, so that
    // the end of one recorder leaves the flag set while another still records.
    void recorderDidStart();
    void recorderDidEnd(bool wasRecording);

    // Tries again every hot key the platform refused so far (another client held it); to be
    // called when the application's menu opens. Keyboard mapping changes do the same by
    // themselves.
    void retryRefusedHotKeys();

    // A key event an open menu received; true when it ran a shortcut (the menu should drop it).
    bool handleMenuKeyEvent(const KeyEvent& event);

    std::string description(const Shortcut& shortcut) const;
    // What the user presses for the name, as a menu shows it: the trigger the desktop reports
    // where the desktop binds shortcuts by name ("" while it has not bound it), else the display
    // string of the stored shortcut ("" for none).
    std::string displayedShortcut(const std::string& name) const;
    // The trigger the desktop reports for the name where the desktop binds shortcuts by name
    // ("" while it has not bound it); none where the stored shortcut itself is the trigger.
    std::optional<std::string> desktopTrigger(const std::string& name) const;
    // The combination that triggers the name, as a menu shows it: where the desktop binds by name
    // and reports combinations, the one it bound (none while it holds no key for the name), else
    // the stored shortcut.
    std::optional<Shortcut> shownShortcut(const std::string& name) const;
    const platform::KeyboardLayout* keyboardLayout() const { return keyboardLayout_.get(); }
    platform::NotificationCenter& notificationCenter() const { return notifications_; }
    const boost::asio::any_io_executor& mainExecutor() const { return mainExecutor_; }
    // The hot-key backend, which also knows the platform's key codes and other clients' grabs.
    platform::HotKeyBackend* hotKeyBackend() const { return hotKeys_.backend().get(); }

    // Shortcuts that currently have a hot key (held, or suspended while switched off or while a
    // menu is open).
    std::unordered_set<Shortcut> registeredShortcuts() const;
    const HotKeys& hotKeys() const { return hotKeys_; }

private:
    ShortcutLayer(platform::UserDefaults& defaults, platform::NotificationCenter& notifications,
                  boost::asio::any_io_executor mainExecutor,
                  std::shared_ptr<platform::HotKeyBackend> hotKeyBackend,
                  std::shared_ptr<platform::KeyboardLayout> keyboardLayout);

    static std::string key(const Name& name);
    bool write(const Name& name, std::optional<platform::UserDefaults::Value> value);
    void storeShortcut(const Name& name, const Shortcut& shortcut);
    void clearShortcut(const Name& name);
    void postShortcutChange(const Name& name);
    void installMenuTrackingObservers();

    void registerIfNeeded(const Name& name);
    void syncNamedHotKeys();
    void registerShortcut(const Shortcut& shortcut);
    void releaseUnlessUsed(const Shortcut& shortcut);
    std::unordered_set<Shortcut> shortcutsInUse() const;

    void handleKeyDown(const Shortcut& shortcut);
    void handleKeyUp(const Shortcut& shortcut);
    void dispatch(const Shortcut& shortcut, EventType type);

    EventStream makeStream(const Name& name, std::optional<EventType> only);
    void addStreamHandler(const Name& name, std::uint64_t id, std::shared_ptr<EventStream::Channel> channel);
    void removeStreamHandler(const Name& name, std::uint64_t id);
    void applyRecorderState();

    using Actions = std::vector<std::pair<Name, std::vector<Action>>>;
    using Streams = std::vector<std::pair<Name, std::vector<std::pair<std::uint64_t, std::shared_ptr<EventStream::Channel>>>>>;

    platform::UserDefaults& defaults_;
    platform::NotificationCenter& notifications_;
    boost::asio::any_io_executor mainExecutor_;
    std::shared_ptr<platform::KeyboardLayout> keyboardLayout_;
    HotKeys hotKeys_;

    Actions keyDownHandlers_;
    Actions keyUpHandlers_;
    Streams streamHandlers_;
    std::atomic<std::uint64_t> lastStreamId_{0};
    int recordingRecorders_ = 0;
    platform::ObserverToken menuBeganToken_;
    platform::ObserverToken menuEndedToken_;
};

}  // namespace GlobalShortcuts
