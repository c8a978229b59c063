#include "platform/hotkeys/portal_reports.hpp"

namespace platform::portal {

Report sessionRefused(const std::string& errorName, const std::string& errorMessage) {
    std::string reason = errorMessage.empty() ? errorName : errorMessage;
    Report report;
    report.summary = "Global shortcuts are not available";
    report.body = "The desktop portal refused a shortcut session for Kestro: " + reason + ". ";
    if (errorMessage.find("app id") != std::string::npos || errorMessage.find("App info") != std::string::npos) {
        report.body += "It needs the launcher entry kestro.desktop where it looks for applications ("
                       "$XDG_DATA_HOME/applications or $XDG_DATA_DIRS/applications) with a program that exists. ";
    }
    report.body += "Until then, start and end calls from Kestro's menu in the panel; Kestro asks again later and "
                   "when the portal restarts.";
    return report;
}

std::string endedWithout(std::uint32_t responseCode) {
    if (responseCode == 1) return "the request was cancelled on the desktop";
    return "the desktop ended the request without opening one";
}

std::string noSessionNamed() { return "its answer did not say which session it opened"; }

std::string unassigned(const std::vector<std::string>& descriptions) {
    std::string names;
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        if (i > 0) names += i + 1 == descriptions.size() ? " and " : ", ";
        names += "\"" + descriptions[i] + "\"";
    }
    return "The desktop assigned no keys to " + names +
           "; its keyboard shortcut settings can assign them to Kestro.";
}

std::string notRegistered(const std::string& applicationId, const std::string& errorMessage) {
    return "The desktop portal did not accept the application id \"" + applicationId + "\": " + errorMessage;
}

Report launcherEntryUnusable(const std::string& entry, const std::string& reason) {
    Report report;
    report.summary = "Global shortcuts are not available";
    report.body = "The desktop portal knows Kestro by its launcher entry " + entry + ", which it cannot use: " + reason +
                  ". Kestro leaves the user's own entry as it is: make it start Kestro and not hide it, or delete it "
                  "and Kestro writes its own at the next start.";
    return report;
}

bool meansNoRegistry(const std::string& errorName) {
    return errorName == "org.freedesktop.DBus.Error.UnknownMethod" ||
           errorName == "org.freedesktop.DBus.Error.UnknownInterface" ||
           errorName == "org.freedesktop.DBus.Error.UnknownObject" ||
           errorName == "org.freedesktop.DBus.Error.ServiceUnknown";
}

}  // namespace platform::portal
