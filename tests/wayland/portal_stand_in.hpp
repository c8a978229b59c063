#pragma once
// A stand-in for the portal front end itself (org.freedesktop.portal.Desktop), for what the
// system's front end does not show on demand: a registry of application ids (1.18 and later),
// requests answered under paths of the portal's own choosing (before handle tokens), answers
// that leave a shortcut out or miss the session handle, and signals of other sessions. And what
// the desktops behind newer front ends answer: a registry that knows only ids with an installed
// launcher entry whose program exists (1.20 on), a session refused without an app id (1.21 on),
// a desktop that binds what CreateSession lists (KDE before 6.1 behind 1.16), one that already
// holds shortcuts of the application (ListShortcuts), and one that binds nothing without refusing.

#include <filesystem>
#include <map>
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
        // The response code CreateSession's answer carries (1 cancelled by the user, 2 ended
        // otherwise); a refusing answer names no session, as the portal's do.
        std::uint32_t sessionResponse = 0;
        std::set<std::string> leaveOut = {}; // ids BindShortcuts does not bind
        // The registry takes an id only where <id>.desktop lies in one of these folders'
        // "applications" (the first found counting) and names a program that exists; empty: any id.
        std::vector<std::filesystem::path> dataFolders = {};
        // CreateSession is refused (NotAllowed, "An app id is required") unless an id was registered.
        bool requireAppId = false;
        // CreateSession's answer binds the shortcuts its options list.
        bool bindCreateSessionList = false;
        // What the desktop holds for the application already: id and trigger description.
        std::map<std::string, std::string> held = {};
        // BindShortcuts answers 0 with no shortcuts.
        bool bindNothing = false;
    };

    PortalStandIn(const std::string& busAddress, Behaviour behaviour);
    ~PortalStandIn();
    bool ready() const { return ready_; }

    // Method names in the order called ("Register kestro", "CreateSession", "ListShortcuts",
    // "BindShortcuts").
    std::vector<std::string> calls() const;
    // The ids each CreateSession and BindShortcuts listed, in order ("CreateSession: startSession
    // endSession", "BindShortcuts: endSession").
    std::vector<std::string> offered() const;
    // Session handle tokens in the order asked for.
    std::vector<std::string> sessionTokens() const;
    // ShortcutsChanged for the last session.
    void changeTrigger(const std::string& id, const std::string& trigger);
    std::string lastSession() const;
    void emit(const char* member, const std::string& session, const std::string& id);

    struct Shared;

private:
    BusService service_;
    std::unique_ptr<Shared> shared_;
    bool ready_ = false;
};

}  // namespace wayland_test
