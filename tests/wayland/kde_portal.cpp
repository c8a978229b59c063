#include "wayland/kde_portal.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace wayland_test {
namespace {

namespace fs = std::filesystem;

bool waitForOwner(BusService& probe, const std::string& name) {
    for (int i = 0; i < 500; ++i) {
        if (probe.hasOwner(name)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

KdePortal::KdePortal(const std::string& busAddress, const fs::path& folder, const std::string& language)
    : busAddress_(busAddress), folder_(folder) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        problem_ = "no X display for KDE's programs (scripts/test.sh starts Xvfb)";
        return;
    }
    for (const char* program : {kglobalaccel, backend, frontEnd}) {
        if (!fs::exists(program)) {
            problem_ = std::string(program) + " is missing (scripts/install-deps.sh installs KDE's portal backend, "
                                              "kglobalaccel5 and xdg-desktop-portal)";
            return;
        }
    }
    for (const char* name : {"config", "data", "cache", "runtime", "bin"}) fs::create_directories(folder_ / name);
    fs::permissions(folder_ / "runtime", fs::perms::owner_all);
    const auto stub = folder_ / "bin" / "xdg-open";
    std::ofstream(stub) << "#!/bin/sh\necho \"$*\" >> '" << (folder_ / "opened").string() << "'\n";
    fs::permissions(stub, fs::perms::owner_all);

    const char* path = std::getenv("PATH");
    std::map<std::string, std::string> environment{
        {"DBUS_SESSION_BUS_ADDRESS", busAddress},
        {"QT_QPA_PLATFORM", "xcb"},
        {"XDG_CURRENT_DESKTOP", "KDE"},
        {"XDG_CONFIG_HOME", (folder_ / "config").string()},
        {"XDG_DATA_HOME", (folder_ / "data").string()},
        {"XDG_CACHE_HOME", (folder_ / "cache").string()},
        {"XDG_RUNTIME_DIR", (folder_ / "runtime").string()},
        {"PATH", (folder_ / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
        {"GIO_USE_VFS", "local"},
    };
    BusService probe(busAddress);
    kglobalaccel_ = std::make_unique<Program>(std::vector<std::string>{kglobalaccel}, environment,
                                              folder_ / "kglobalaccel.log");
    if (!waitForOwner(probe, "org.kde.kglobalaccel")) {
        problem_ = "kglobalaccel5 did not start:\n" + logs();
        return;
    }
    auto backendEnvironment = environment;
    if (!language.empty()) {
        backendEnvironment["LANG"] = language;
        backendEnvironment["LANGUAGE"] = language.substr(0, language.find('_'));
        backendEnvironment["LC_ALL"] = language;
    }
    backend_ = std::make_unique<Program>(std::vector<std::string>{backend}, backendEnvironment, folder_ / "backend.log");
    if (!waitForOwner(probe, "org.freedesktop.impl.portal.desktop.kde")) {
        problem_ = "xdg-desktop-portal-kde did not start:\n" + logs();
        return;
    }
    frontEnd_ = std::make_unique<Program>(std::vector<std::string>{frontEnd, "--verbose", "--replace"}, environment,
                                          folder_ / "front-end.log");
    if (!waitForOwner(probe, "org.freedesktop.portal.Desktop")) {
        problem_ = "the portal front end did not start:\n" + logs();
        return;
    }
    std::uint32_t version = 0;
    probe.run([&](sd_bus* bus) {
        sd_bus_get_property_trivial(bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                                    "org.freedesktop.portal.GlobalShortcuts", "version", nullptr, 'u', &version);
    });
    if (version == 0) problem_ = "the portal front end offers no global shortcuts with KDE's backend:\n" + logs();
}

// The front end first, KDE's programs after it.
KdePortal::~KdePortal() {
    frontEnd_.reset();
    backend_.reset();
    kglobalaccel_.reset();
}

std::vector<std::string> KdePortal::opened() const {
    std::vector<std::string> lines;
    std::istringstream text(fileText(folder_ / "opened"));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> KdePortal::components() {
    std::vector<std::string> names;
    BusService client(busAddress_);
    client.run([&](sd_bus* bus) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.kde.kglobalaccel", "/kglobalaccel", "org.kde.KGlobalAccel", "allComponents",
                               &error, &reply, "") >= 0 &&
            sd_bus_message_enter_container(reply, 'a', "o") > 0) {
            const char* path = nullptr;
            while (sd_bus_message_read(reply, "o", &path) > 0) {
                std::string text = path;
                names.push_back(text.substr(text.rfind('/') + 1));
            }
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    });
    return names;
}

std::vector<std::string> KdePortal::actions(const std::string& component) {
    std::vector<std::string> names;
    BusService client(busAddress_);
    client.run([&](sd_bus* bus) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        std::string path = "/component/" + component;
        if (sd_bus_call_method(bus, "org.kde.kglobalaccel", path.c_str(), "org.kde.kglobalaccel.Component",
                               "shortcutNames", &error, &reply, "") >= 0 &&
            sd_bus_message_enter_container(reply, 'a', "s") > 0) {
            const char* name = nullptr;
            while (sd_bus_message_read(reply, "s", &name) > 0) names.emplace_back(name);
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    });
    return names;
}

bool KdePortal::setShortcut(const std::string& component, const std::string& action, const std::vector<int>& keys) {
    int result = -1;
    BusService client(busAddress_);
    client.run([&](sd_bus* bus) {
        sd_bus_message* call = nullptr;
        sd_bus_message_new_method_call(bus, &call, "org.kde.kglobalaccel", "/kglobalaccel", "org.kde.KGlobalAccel",
                                       "setForeignShortcut");
        sd_bus_message_append(call, "as", 4, component.c_str(), action.c_str(), component.c_str(), action.c_str());
        sd_bus_message_open_container(call, 'a', "i");
        for (int key : keys) sd_bus_message_append(call, "i", key);
        sd_bus_message_close_container(call);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        result = sd_bus_call(bus, call, 0, &error, nullptr);
        sd_bus_error_free(&error);
        sd_bus_message_unref(call);
    });
    return result >= 0;
}

std::string KdePortal::logs() const {
    std::string text;
    for (const char* name : {"kglobalaccel.log", "backend.log", "front-end.log"}) {
        text += std::string("--- ") + name + "\n" + fileText(folder_ / name);
    }
    return text;
}

}  // namespace wayland_test
