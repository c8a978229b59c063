#pragma once
// Starting the application when the user logs in: the registration lives in the desktop's
// autostart folder (an XDG desktop entry), not in the application.

#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/tracked.hpp"

namespace platform {

// A registration or unregistration that did not happen; what() describes why.
class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// Keeps the registration of this application as a login item.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() const = 0;
    // Both throw LoginItemError on failure.
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

// The argument the autostart entry adds to the command line, so that a launch by the session
// can be told from one by the user.
inline constexpr std::string_view launchedAtLoginArgument = "--launched-at-login";

// The XDG autostart entry: enabled when the file exists and does not say Hidden=true.
class XdgAutostartService final : public LoginItemService {
public:
    // `entry` is the desktop entry file to keep, `executable` the program it starts.
    XdgAutostartService(std::filesystem::path entry, std::filesystem::path executable);

    // $XDG_CONFIG_HOME/autostart/kestro.desktop (or ~/.config/autostart/kestro.desktop).
    static std::filesystem::path defaultEntryPath();
    // The running program (/proc/self/exe).
    static std::filesystem::path currentExecutable();

    LoginItemStatus status() const override;
    // Writes the entry atomically (temporary file, fsync, rename), replacing a hidden one.
    void registerItem() override;
    // Removes the entry; fails when there is no enabled entry to remove.
    void unregisterItem() override;

    // The entry's text as registerItem() writes it.
    std::string entryText() const;

    const std::filesystem::path& entry() const { return entry_; }

private:
    std::filesystem::path entry_;
    std::filesystem::path executable_;
};

// Reads and changes the registration, logging failures instead of reporting them.
class LoginItem {
public:
    // Tells its observers before each change of the registration, so that they re-read it.
    class Observable {
    public:
        bool isEnabled() const { return owner_.isEnabled(); }
        void setEnabled(bool enabled) { owner_.setEnabled(enabled); }
        [[nodiscard]] Subscription onWillChange(std::function<void()> observer);

    private:
        friend class LoginItem;
        explicit Observable(LoginItem& owner) : owner_(owner) {}
        void announce();

        LoginItem& owner_;
        std::shared_ptr<std::vector<std::pair<std::uint64_t, std::function<void()>>>> observers_ =
            std::make_shared<std::vector<std::pair<std::uint64_t, std::function<void()>>>>();
        std::uint64_t nextId_ = 0;
    };

    explicit LoginItem(std::shared_ptr<LoginItemService> service);
    LoginItem(const LoginItem&) = delete;
    LoginItem& operator=(const LoginItem&) = delete;

    // True only when the service reports the registration as enabled.
    bool isEnabled() const;
    // Tells the observers, then registers (re-registering an enabled item) or unregisters.
    // A failure is logged ("Failed to enable launch at login: ...") and goes no further.
    void setEnabled(bool enabled);

    Observable& observable() { return observable_; }

    // True when the command line carries the autostart entry's argument.
    static bool wasLaunchedAtLogin(const std::vector<std::string>& arguments);

private:
    std::shared_ptr<LoginItemService> service_;
    Observable observable_{*this};
};

}  // namespace platform
