#pragma once
// Debian's kglobalaccel5, KDE's global-shortcut service, on a private bus of the test's own (no
// activatable services) under the tests' X display, its store (kglobalshortcutsrc) in a folder
// of the test's own; and what a test asks of it, as KDE's System Settings would.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wayland/bus_service.hpp"

namespace kde_test {

// The service's integers for the keys the tests use.
// Kestro's two actions as the service names them.
inline const std::vector<std::string> startSessionId{"kestro", "startSession", "Kestro", "Start Call"};
inline const std::vector<std::string> endSessionId{"kestro", "endSession", "Kestro", "End Call"};

namespace Keys {
inline constexpr std::int32_t control = 0x04000000;
inline constexpr std::int32_t alt = 0x08000000;
inline constexpr std::int32_t controlP = control | 'P';
inline constexpr std::int32_t controlM = control | 'M';
inline constexpr std::int32_t controlJ = control | 'J';
inline constexpr std::int32_t controlQ = control | 'Q';
inline constexpr std::int32_t controlAltK = control | alt | 'K';
}  // namespace Keys

class KGlobalAccelService {
public:
    // Empty when it can run here; otherwise why not.
    static std::string unavailable();

    explicit KGlobalAccelService(const std::filesystem::path& folder);
    ~KGlobalAccelService();

    const std::string& busAddress() const { return bus_.address(); }
    const std::filesystem::path& configFolder() const { return config_; }
    // Starts the service (again), waiting until it owns its name; false when it did not.
    bool start();
    // Ends it (as a crash or a restart of KWin would) and waits until its name is gone.
    void stop();
    std::string log() const;

    // What the service holds for an action of a component.
    // (`actionId` as the service names actions: component, action, friendly name, text).
    std::vector<std::int32_t> keys(const std::vector<std::string>& actionId);
    std::vector<std::int32_t> defaultKeys(const std::vector<std::string>& actionId);
    // The actions of a component, each as its id (component, action, friendly name, text).
    std::vector<std::vector<std::string>> actions(const std::string& component);
    bool isActive(const std::string& component);
    // Sets the keys of an action as KDE's settings do.
    void setForeignKeys(const std::vector<std::string>& actionId, std::optional<std::int32_t> key);
    // Registers and makes present an action of another component holding `key`.
    void holdForOther(const std::string& component, const std::string& action, std::int32_t key);
    // Sends globalShortcutPressed for the action from a client that is not the service.
    void forgePress(const std::string& component, const std::string& action);
    // The text of the store, once the service has written it.
    std::string store() const;

private:
    std::filesystem::path folder_;
    std::filesystem::path config_;
    wayland_test::PrivateBus bus_;
    std::unique_ptr<wayland_test::Program> service_;
    std::unique_ptr<wayland_test::BusService> client_;
    int starts_ = 0;
};

}  // namespace kde_test
