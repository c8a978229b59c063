#pragma once
// KDE Plasma's side of the global shortcuts portal as Debian ships it, on a private bus under the
// tests' X display: kglobalaccel5, xdg-desktop-portal-kde and the xdg-desktop-portal front end
// (XDG_CURRENT_DESKTOP=KDE), with a configuration folder of their own and a stub xdg-open first
// on the backend's PATH that counts what it is asked to open (KDE opens System Settings with it).

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "wayland/bus_service.hpp"

namespace wayland_test {

class KdePortal {
public:
    static constexpr const char* kglobalaccel = "/usr/bin/kglobalaccel5";
    static constexpr const char* backend = "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde";
    static constexpr const char* frontEnd = "/usr/libexec/xdg-desktop-portal";

    // `language` for KDE's backend ("" leaves the tests' own).
    KdePortal(const std::string& busAddress, const std::filesystem::path& folder, const std::string& language = "");
    ~KdePortal();
    // Empty when all three run and the portal offers global shortcuts; otherwise why not.
    const std::string& problem() const { return problem_; }

    // What xdg-open was asked to open, in order.
    std::vector<std::string> opened() const;
    // kglobalaccel's components ("kestro") and the action names of one.
    std::vector<std::string> components();
    std::vector<std::string> actions(const std::string& component);
    // Sets the keys (Qt key codes, alternatives) of an action as KDE's settings do.
    bool setShortcut(const std::string& component, const std::string& action, const std::vector<int>& keys);
    std::string logs() const;

private:
    std::string busAddress_;
    std::filesystem::path folder_;
    std::unique_ptr<Program> kglobalaccel_;
    std::unique_ptr<Program> backend_;
    std::unique_ptr<Program> frontEnd_;
    std::string problem_;
};

}  // namespace wayland_test
