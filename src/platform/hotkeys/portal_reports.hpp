#pragma once
// What the portal backend tells the user about the desktop's answers, in words: a session the
// portal refused, shortcuts the desktop left without keys, an application id its registry did
// not accept.

#include <cstdint>
#include <string>
#include <vector>

namespace platform::portal {

struct Report {
    std::string summary;
    std::string body;
};

// The portal refused to open a shortcut session (its error name and message, or the code of its
// response).
Report sessionRefused(const std::string& errorName, const std::string& errorMessage);
// Why a request ended without a session, for sessionRefused: the portal's response code (1 the
// user cancelled, any other the desktop ended it) in words.
std::string endedWithout(std::uint32_t responseCode);
// The same for an answer that named no session.
std::string noSessionNamed();
// The desktop answered without binding the shortcuts with these descriptions.
std::string unassigned(const std::vector<std::string>& descriptions);
// The portal's registry did not accept the application id.
std::string notRegistered(const std::string& applicationId, const std::string& errorMessage);

// The user's own launcher entry, which the application does not change, cannot be used by the
// portal for the reason given.
Report launcherEntryUnusable(const std::string& entry, const std::string& reason);

// Errors that only say the portal has no application registry (older portals).
bool meansNoRegistry(const std::string& errorName);

}  // namespace platform::portal
