#include "wayland/portal_backend_double.hpp"

#include <cctype>
#include <chrono>
#include <fstream>
#include <thread>

namespace wayland_test {
namespace {

constexpr const char* objectPath = "/org/freedesktop/portal/desktop";
constexpr const char* implInterface = "org.freedesktop.impl.portal.GlobalShortcuts";

void appendShortcuts(sd_bus_message* message, const std::vector<std::pair<std::string, std::string>>& triggers,
                     const std::map<std::string, std::string>& descriptions) {
    sd_bus_message_open_container(message, 'a', "(sa{sv})");
    for (const auto& [id, trigger] : triggers) {
        sd_bus_message_open_container(message, 'r', "sa{sv}");
        sd_bus_message_append(message, "s", id.c_str());
        sd_bus_message_open_container(message, 'a', "{sv}");
        auto description = descriptions.find(id);
        sd_bus_message_append(message, "{sv}", "description", "s",
                              description != descriptions.end() ? description->second.c_str() : id.c_str());
        sd_bus_message_append(message, "{sv}", "trigger_description", "s", trigger.c_str());
        sd_bus_message_close_container(message);
        sd_bus_message_close_container(message);
    }
    sd_bus_message_close_container(message);
}

}  // namespace

struct PortalBackendDouble::Shared {
    mutable std::mutex mutex;
    Answer answer = Answer::bind;
    std::vector<std::string> sessions;
    std::vector<std::string> appIds;
    std::vector<Binding> bindings;
    int closed = 0;
    std::vector<sd_bus_message*> unanswered;
    std::vector<sd_bus_slot*> slots;

    static int createSession(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* shared = static_cast<Shared*>(userdata);
        const char* handle = nullptr;
        const char* session = nullptr;
        const char* appId = nullptr;
        if (sd_bus_message_read(message, "oos", &handle, &session, &appId) < 0) return -EINVAL;
        {
            std::lock_guard lock(shared->mutex);
            shared->sessions.push_back(session);
            shared->appIds.push_back(appId ? appId : "");
        }
        return sd_bus_reply_method_return(message, "ua{sv}", 0u, 1, "session_id", "s", session);
    }

    static int bindShortcuts(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* shared = static_cast<Shared*>(userdata);
        const char* handle = nullptr;
        const char* session = nullptr;
        if (sd_bus_message_read(message, "oo", &handle, &session) < 0) return -EINVAL;
        Binding binding{session, {}};
        std::map<std::string, std::string> descriptions;
        sd_bus_message_enter_container(message, 'a', "(sa{sv})");
        while (sd_bus_message_enter_container(message, 'r', "sa{sv}") > 0) {
            const char* id = nullptr;
            sd_bus_message_read(message, "s", &id);
            auto options = readStringOptions(message);
            binding.shortcuts.push_back({id, options["description"], options["preferred_trigger"]});
            descriptions[id] = options["description"];
            sd_bus_message_exit_container(message);
        }
        sd_bus_message_exit_container(message);
        Answer answer;
        {
            std::lock_guard lock(shared->mutex);
            shared->bindings.push_back(binding);
            answer = shared->answer;
        }
        if (answer == Answer::never) {
            std::lock_guard lock(shared->mutex);
            shared->unanswered.push_back(sd_bus_message_ref(message));
            return 1;
        }
        if (answer == Answer::refuse) return sd_bus_reply_method_return(message, "ua{sv}", 1u, 0);
        sd_bus_message* reply = nullptr;
        sd_bus_message_new_method_return(message, &reply);
        sd_bus_message_append(reply, "u", 0u);
        sd_bus_message_open_container(reply, 'a', "{sv}");
        sd_bus_message_open_container(reply, 'e', "sv");
        sd_bus_message_append(reply, "s", "shortcuts");
        sd_bus_message_open_container(reply, 'v', "a(sa{sv})");
        std::vector<std::pair<std::string, std::string>> triggers;
        for (const auto& shortcut : binding.shortcuts) triggers.emplace_back(shortcut.id, describe(shortcut.preferredTrigger));
        appendShortcuts(reply, triggers, descriptions);
        sd_bus_message_close_container(reply);
        sd_bus_message_close_container(reply);
        sd_bus_message_close_container(reply);
        int result = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return result;
    }

    static int listShortcuts(sd_bus_message* message, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(message, "ua{sv}", 0u, 0);
    }

    static int closeSession(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* shared = static_cast<Shared*>(userdata);
        {
            std::lock_guard lock(shared->mutex);
            ++shared->closed;
        }
        return sd_bus_reply_method_return(message, "");
    }

    static int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "u", 1u);
    }
};

namespace {

const sd_bus_vtable shortcutsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", PortalBackendDouble::Shared::createSession,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("BindShortcuts", "ooa(sa{sv})sa{sv}", "ua{sv}", PortalBackendDouble::Shared::bindShortcuts,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListShortcuts", "oo", "ua{sv}", PortalBackendDouble::Shared::listShortcuts, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("Activated", "osta{sv}", 0),
    SD_BUS_SIGNAL("Deactivated", "osta{sv}", 0),
    SD_BUS_SIGNAL("ShortcutsChanged", "oa(sa{sv})", 0),
    SD_BUS_PROPERTY("version", "u", PortalBackendDouble::Shared::version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

const sd_bus_vtable sessionVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Close", "", "", PortalBackendDouble::Shared::closeSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

PortalBackendDouble::PortalBackendDouble(const std::string& busAddress)
    : service_(busAddress), shared_(std::make_unique<Shared>()) {
    if (!service_.connected()) return;
    int result = -1;
    service_.run([&](sd_bus* bus) {
        sd_bus_slot* slot = nullptr;
        result = sd_bus_add_object_vtable(bus, &slot, objectPath, implInterface, shortcutsVtable, shared_.get());
        if (result >= 0) shared_->slots.push_back(slot);
        if (result >= 0) {
            result = sd_bus_add_fallback_vtable(bus, &slot, "/org/freedesktop/portal/desktop/session",
                                                "org.freedesktop.impl.portal.Session", sessionVtable, nullptr,
                                                shared_.get());
            if (result >= 0) shared_->slots.push_back(slot);
        }
    });
    ready_ = result >= 0 && service_.own(backendBusName);
}

PortalBackendDouble::~PortalBackendDouble() {
    service_.run([&](sd_bus*) {
        for (auto* message : shared_->unanswered) sd_bus_message_unref(message);
        for (auto* slot : shared_->slots) sd_bus_slot_unref(slot);
    });
}

void PortalBackendDouble::setAnswer(Answer answer) {
    std::lock_guard lock(shared_->mutex);
    shared_->answer = answer;
}

std::string PortalBackendDouble::describe(const std::string& trigger) {
    std::string out;
    std::size_t start = 0;
    while (start <= trigger.size()) {
        auto end = trigger.find('+', start);
        std::string part = trigger.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "CTRL") part = "Ctrl";
        else if (part == "SHIFT") part = "Shift";
        else if (part == "ALT") part = "Alt";
        else if (part == "LOGO") part = "Meta";
        else if (part.size() == 1) part[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(part[0])));
        out += (out.empty() ? "" : "+") + part;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

std::vector<std::string> PortalBackendDouble::sessions() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->sessions;
}

std::vector<std::string> PortalBackendDouble::appIds() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->appIds;
}

std::vector<Binding> PortalBackendDouble::bindings() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->bindings;
}

int PortalBackendDouble::closedSessions() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->closed;
}

void PortalBackendDouble::emit(const char* member, const std::string& id) {
    auto all = bindings();
    if (all.empty()) return;
    std::string session = all.back().session;
    service_.run([&](sd_bus* bus) {
        sd_bus_emit_signal(bus, objectPath, implInterface, member, "osta{sv}", session.c_str(), id.c_str(),
                           std::uint64_t{1700000000000000}, 0);
    });
}

void PortalBackendDouble::activate(const std::string& id) { emit("Activated", id); }

void PortalBackendDouble::deactivate(const std::string& id) { emit("Deactivated", id); }

void PortalBackendDouble::changeTrigger(const std::string& id, const std::string& triggerDescription) {
    auto all = bindings();
    if (all.empty()) return;
    std::string session = all.back().session;
    service_.run([&](sd_bus* bus) {
        sd_bus_message* signal = nullptr;
        sd_bus_message_new_signal(bus, &signal, objectPath, implInterface, "ShortcutsChanged");
        sd_bus_message_append(signal, "o", session.c_str());
        appendShortcuts(signal, {{id, triggerDescription}}, {});
        sd_bus_send(bus, signal, nullptr);
        sd_bus_message_unref(signal);
    });
}

PortalFrontEnd::PortalFrontEnd(const std::string& busAddress, const std::filesystem::path& folder) : folder_(folder) {
    if (!std::filesystem::exists(path)) {
        problem_ = std::string(path) + " is missing (xdg-desktop-portal; scripts/install-deps.sh installs it)";
        return;
    }
    auto portals = folder_ / "portals";
    std::filesystem::create_directories(portals);
    std::ofstream(portals / "kestrotest.portal") << "[portal]\nDBusName=" << backendBusName
                                                 << "\nInterfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn="
                                                 << testDesktop << "\n";
    program_ = std::make_unique<Program>(std::vector<std::string>{path, "--verbose", "--replace"},
                                         std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", busAddress},
                                                                            {"XDG_DESKTOP_PORTAL_DIR", portals.string()},
                                                                            {"XDG_CURRENT_DESKTOP", testDesktop},
                                                                            {"GIO_USE_VFS", "local"}},
                                         folder_ / "portal.log");
    BusService probe(busAddress);
    bool owned = false;
    for (int i = 0; i < 250 && !owned; ++i) {
        owned = probe.hasOwner("org.freedesktop.portal.Desktop");
        if (!owned) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!owned) {
        problem_ = "the portal front end did not start:\n" + log();
        return;
    }
    // The front end exports the interface only when a backend of the desktop offers it.
    int version = 0;
    probe.run([&](sd_bus* bus) {
        sd_bus_get_property_trivial(bus, "org.freedesktop.portal.Desktop", objectPath,
                                    "org.freedesktop.portal.GlobalShortcuts", "version", nullptr, 'u', &version);
    });
    if (version == 0) problem_ = "the portal front end offers no global shortcuts:\n" + log();
}

}  // namespace wayland_test
