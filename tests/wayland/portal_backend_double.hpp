#pragma once
// A desktop's side of the global shortcuts portal, as the xdg-desktop-portal front end talks to
// it (org.freedesktop.impl.portal.GlobalShortcuts under its own bus name): it records every
// session and binding, answers bindings the way a desktop does (each shortcut bound to its
// preferred trigger, shown as the desktop writes it: "Ctrl+P"), or refuses them like a cancelled
// dialog, or never answers; and it sends activations and trigger changes on command.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wayland/bus_service.hpp"

namespace wayland_test {

inline constexpr const char* backendBusName = "org.freedesktop.impl.portal.desktop.kestrotest";
inline constexpr const char* testDesktop = "kestrotest";

struct OfferedShortcut {
    std::string id;
    std::string description;
    std::string preferredTrigger;  // "" when none was given
};

struct Binding {
    std::string session;
    std::vector<OfferedShortcut> shortcuts;
};

class PortalBackendDouble {
public:
    enum class Answer { bind, refuse, never };

    explicit PortalBackendDouble(const std::string& busAddress);
    ~PortalBackendDouble();
    bool ready() const { return ready_; }

    void setAnswer(Answer answer);
    // "CTRL+SHIFT+k" as a desktop shows it: "Ctrl+Shift+K".
    static std::string describe(const std::string& trigger);

    std::vector<std::string> sessions() const;
    std::vector<std::string> appIds() const;
    std::vector<Binding> bindings() const;
    int closedSessions() const;

    // Signals of the last bound session.
    void activate(const std::string& id);
    void deactivate(const std::string& id);
    void changeTrigger(const std::string& id, const std::string& triggerDescription);

    struct Shared;

private:
    void emit(const char* member, const std::string& id);
    BusService service_;
    std::unique_ptr<Shared> shared_;
    bool ready_ = false;
};

// The xdg-desktop-portal front end of the system, on `busAddress`, finding the double through a
// portal file written into `folder`. Empty `problem` when it runs and offers global shortcuts.
class PortalFrontEnd {
public:
    static constexpr const char* path = "/usr/libexec/xdg-desktop-portal";
    PortalFrontEnd(const std::string& busAddress, const std::filesystem::path& folder);
    const std::string& problem() const { return problem_; }
    Program& program() { return *program_; }
    std::string log() const { return fileText(folder_ / "portal.log"); }

private:
    std::filesystem::path folder_;
    std::unique_ptr<Program> program_;
    std::string problem_;
};

}  // namespace wayland_test
