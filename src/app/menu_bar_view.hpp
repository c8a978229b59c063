#pragma once
// The tray menu's behaviour, apart from any toolkit: it reads the menu state, the call
// controller's flags, the usage counts, the streak and the updater into a MenuModel, runs the
// steps due each time the menu appears, dispatches the entries' actions and the two global
// shortcuts, and keeps the usage counts current from the "usageUpdated" notification.
// Confined to the main executor.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/menu_model.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/tracked.hpp"

namespace platform {
class Updater;
class UrlOpener;
}  // namespace platform

namespace kestro {

class MenuBarStateManager;
class SessionManager;
class UsageManager;

class MenuBarView {
public:
    struct Parts {
        MenuBarStateManager* stateManager = nullptr;
        std::shared_ptr<SessionManager> sessionManager;
        // Null: "Check for Updates" stays disabled.
        platform::Updater* updater = nullptr;
        platform::UrlOpener* urlOpener = nullptr;
        platform::NotificationCenter* notifications = nullptr;
        // True while the usage refresh fails for want of a stored credential (may be null).
        platform::Tracked<bool>* credentialMissing = nullptr;
        // True while the backend refuses the stored credential (may be null).
        platform::Tracked<bool>* credentialRejected = nullptr;
        // The command the credential error lines name (empty: the installed "kestro" one).
        std::string credentialCommand{};
        // The display string of the shortcut stored under a name ("startSession"), empty when
        // none is stored; read again whenever a stored shortcut changes (may be empty).
        std::function<std::string(std::string_view name)> shortcutText{};
        // The same shortcut by its keys in Qt's portable text ("Ctrl+P"), empty when none is
        // stored (may be empty).
        std::function<std::string(std::string_view name)> shortcutKeys{};
        // Counts the current week and returns the streak's text.
        std::function<std::string()> streakText;
        // The text streakText() would return now, without counting the week (may be empty: the
        // streak's row has no text until the menu was first shown).
        std::function<std::string()> upcomingStreakText{};
        // Runs the function on the main executor after the delay (may be empty: the menu shows
        // "Connecting" at once at each opening).
        std::function<void(std::chrono::milliseconds, std::function<void()>)> schedule{};
        // How long an opening's refresh may take before the menu shows "Connecting".
        std::chrono::milliseconds openingGrace{500};
        // The address of the support mail link.
        std::string supportAddress;
        // Ends the application.
        std::function<void()> quit;
    };

    explicit MenuBarView(Parts parts);
    ~MenuBarView();
    MenuBarView(const MenuBarView&) = delete;
    MenuBarView& operator=(const MenuBarView&) = delete;

    // The menu as it stands now.
    std::vector<MenuEntry> menu() const;
    MenuInputs inputs() const;

    // Runs after every change of something the menu shows.
    void setChangeHandler(std::function<void()> handler);

    // At start-up, before the menu was ever shown: hands the usage counts to the call controller
    // and refreshes the menu state, without counting the streak's week.
    void start();

    // Each time the menu appears: hands the usage counts to the call controller, counts the
    // streak's week and refreshes the menu state. A menu that showed settled counts goes on
    // showing them for the opening grace while the new counts are asked for: an answer within it
    // changes only what the answer changed, a slower one shows "Connecting" once the grace ends.
    void appear();

    // The action of the entry with that id; labels, dividers and unknown ids do nothing.
    void trigger(std::string_view id);

    // Control-P: starts a call when calls can be placed and none is running or busy.
    void handleStartShortcut();
    // Control-M: ends a running call, whatever the menu state (a refresh in progress must not
    // swallow it).
    void handleEndShortcut();

    const std::shared_ptr<UsageManager>& usageManager() const { return usageManager_; }
    // "mailto:" and the support address.
    std::string supportLink() const;

private:
    void changed();
    void stateChanged(MenuBarState state);
    void endHold();

    Parts parts_;
    // The state the menu goes on showing during an opening's grace.
    std::optional<MenuBarState> heldState_;
    // "Start Call" chosen while the menu held its settled rows: started once the refresh settles.
    bool startWhenSettled_ = false;
    std::uint64_t holdGeneration_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::shared_ptr<UsageManager> usageManager_;
    std::string streakText_;
    std::function<void()> changeHandler_;
    std::vector<platform::Subscription> subscriptions_;
    platform::ObserverToken usageObserver_;
    platform::ObserverToken shortcutObserver_;
};

}  // namespace kestro
