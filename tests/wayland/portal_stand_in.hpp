#pragma once
// A stand-in for the portal front end itself (org.freedesktop.portal.Desktop), for what the
// system's front end does not show on demand: a registry of application ids (1.18 and later),
// requests answered under paths of the portal's own choosing (before handle tokens), answers
// that leave a shortcut out or miss the session handle, and signals of other sessions.

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "wayland/bus_service.hpp"

namespace wayland_test {

class PortalStandIn {
public:
    struct Behaviour {
        bool registry = false;          // offers org.freedesktop.host.portal.Registry
        bool ignoreTokens = false;      // requests live under paths of its own
        bool omitSessionHandle = false; // CreateSession's answer lacks the handle
        std::set<std::string> leaveOut; // ids BindShortcuts does not bind
    };

    PortalStandIn(const std::string& busAddress, Behaviour behaviour);
    ~PortalStandIn();
    bool ready() const { return ready_; }

    // Method names in the order called ("Register kestro", "CreateSession", "BindShortcuts").
    std::vector<std::string> calls() const;
    std::string lastSession() const;
    void emit(const char* member, const std::string& session, const std::string& id);

    struct Shared;

private:
    BusService service_;
    std::unique_ptr<Shared> shared_;
    bool ready_ = false;
};

}  // namespace wayland_test
