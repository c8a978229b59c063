#include "wayland/portal_stand_in.hpp"

#include <chrono>
#include <map>

#include "platform/desktop/desktop_entry.hpp"

namespace wayland_test {
namespace {

constexpr const char* objectPath = "/org/freedesktop/portal/desktop";

std::string senderElement(sd_bus_message* message) {
    std::string sender = sd_bus_message_get_sender(message);
    sender = sender.substr(1);
    for (char& c : sender) {
        if (c == '.') c = '_';
    }
    return sender;
}

// The a(sa{sv}) at the cursor: ids in order.
std::vector<std::string> readShortcutIds(sd_bus_message* message) {
    std::vector<std::string> ids;
    if (sd_bus_message_enter_container(message, 'a', "(sa{sv})") <= 0) return ids;
    while (sd_bus_message_enter_container(message, 'r', "sa{sv}") > 0) {
        const char* id = nullptr;
        sd_bus_message_read(message, "s", &id);
        sd_bus_message_skip(message, "a{sv}");
        sd_bus_message_exit_container(message);
        ids.push_back(id ? id : "");
    }
    sd_bus_message_exit_container(message);
    return ids;
}

// CreateSession's options: the string values, and the ids under "shortcuts".
std::map<std::string, std::string> readSessionOptions(sd_bus_message* message, std::vector<std::string>& ids) {
    return readStringOptions(message, [&](const std::string& key, const std::string& contents) {
        if (key != "shortcuts" || contents != "a(sa{sv})") return false;
        sd_bus_message_enter_container(message, 'v', contents.c_str());
        ids = readShortcutIds(message);
        sd_bus_message_exit_container(message);
        return true;
    });
}

// Appends "shortcuts" with each id and its trigger description, inside an open a{sv}.
void appendShortcutResults(sd_bus_message* signal, const std::vector<std::pair<std::string, std::string>>& bound) {
    sd_bus_message_open_container(signal, 'e', "sv");
    sd_bus_message_append(signal, "s", "shortcuts");
    sd_bus_message_open_container(signal, 'v', "a(sa{sv})");
    sd_bus_message_open_container(signal, 'a', "(sa{sv})");
    for (const auto& [id, trigger] : bound) {
        sd_bus_message_append(signal, "(sa{sv})", id.c_str(), 1, "trigger_description", "s", trigger.c_str());
    }
    for (int i = 0; i < 3; ++i) sd_bus_message_close_container(signal);
}

}  // namespace

struct PortalStandIn::Shared {
    Behaviour behaviour;
    BusService* service = nullptr;
    mutable std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<std::string> offered;
    std::vector<std::string> sessionTokens;
    std::map<std::string, std::string> held;
    bool registered = false;
    std::string lastSession;
    int requests = 0;
    std::vector<sd_bus_slot*> slots;
    std::vector<std::thread> later;
    std::string address;

    void record(const std::string& call) {
        std::lock_guard lock(mutex);
        calls.push_back(call);
    }

    std::string requestPath(sd_bus_message* message, const std::string& token) {
        std::lock_guard lock(mutex);
        std::string last = behaviour.ignoreTokens ? "portal" + std::to_string(++requests) : token;
        return std::string(objectPath) + "/request/" + senderElement(message) + "/" + last;
    }

    // The answer comes a moment after the request, as after a dialog.
    void respond(const std::string& path, std::function<void(sd_bus_message*)> results, std::uint32_t code = 0) {
        std::lock_guard lock(mutex);
        later.emplace_back([this, path, results, code] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            service->run([&](sd_bus* bus) {
                sd_bus_message* signal = nullptr;
                sd_bus_message_new_signal(bus, &signal, path.c_str(), "org.freedesktop.portal.Request", "Response");
                sd_bus_message_append(signal, "u", code);
                results(signal);
                sd_bus_send(bus, signal, nullptr);
                sd_bus_message_unref(signal);
            });
        });
    }

    // Like a front end of 1.20 and later: an id is known by its launcher entry, found in the data
    // folders, whose program exists.
    bool knows(const std::string& appId) const {
        if (behaviour.dataFolders.empty()) return true;
        for (const auto& folder : behaviour.dataFolders) {
            auto entry = folder / "applications" / (appId + ".desktop");
            if (!std::filesystem::exists(entry)) continue;
            auto program = platform::readDesktopEntryProgram(entry);
            if (!program || program->hidden) return false;
            auto name = platform::execProgram(program->exec);
            return name && platform::programExists(*name, "/usr/bin:/bin");
        }
        return false;
    }

    static int registerApp(sd_bus_message* message, void* userdata, sd_bus_error* error) {
        auto* shared = static_cast<Shared*>(userdata);
        const char* appId = nullptr;
        sd_bus_message_read(message, "s", &appId);
        std::string id = appId ? appId : "";
        shared->record("Register " + id);
        if (!shared->knows(id)) {
            return sd_bus_error_setf(error, "org.freedesktop.portal.Error.Failed",
                                     "Could not register app ID: App info not found for '%s'", id.c_str());
        }
        std::lock_guard lock(shared->mutex);
        shared->registered = true;
        return sd_bus_reply_method_return(message, "");
    }

    static int createSession(sd_bus_message* message, void* userdata, sd_bus_error* error) {
        auto* shared = static_cast<Shared*>(userdata);
        shared->record("CreateSession");
        std::vector<std::string> listed;
        auto options = readSessionOptions(message, listed);
        std::vector<std::pair<std::string, std::string>> bound;
        {
            std::lock_guard lock(shared->mutex);
            std::string ids;
            for (const auto& id : listed) ids += " " + id;
            shared->offered.push_back("CreateSession:" + ids);
            shared->sessionTokens.push_back(options["session_handle_token"]);
            if (shared->behaviour.requireAppId && !shared->registered) {
                return sd_bus_error_set(error, "org.freedesktop.portal.Error.NotAllowed", "An app id is required");
            }
            // A desktop of the early draft binds the list (its own earlier choice winning).
            if (shared->behaviour.bindCreateSessionList) {
                for (const auto& id : listed) {
                    auto& trigger = shared->held[id];
                    if (trigger.empty()) trigger = "Trigger of " + id;
                    bound.emplace_back(id, trigger);
                }
            }
        }
        std::string path = shared->requestPath(message, options["handle_token"]);
        std::string session = std::string(objectPath) + "/session/" + senderElement(message) + "/" +
                              options["session_handle_token"];
        {
            std::lock_guard lock(shared->mutex);
            shared->lastSession = session;
        }
        const auto code = shared->behaviour.sessionResponse;
        bool omit = shared->behaviour.omitSessionHandle || code != 0;
        shared->respond(
            path,
            [session, omit, bound](sd_bus_message* signal) {
                sd_bus_message_open_container(signal, 'a', "{sv}");
                if (!omit) sd_bus_message_append(signal, "{sv}", "session_handle", "s", session.c_str());
                if (!bound.empty()) appendShortcutResults(signal, bound);
                sd_bus_message_close_container(signal);
            },
            code);
        return sd_bus_reply_method_return(message, "o", path.c_str());
    }

    static int listShortcuts(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* shared = static_cast<Shared*>(userdata);
        shared->record("ListShortcuts");
        const char* session = nullptr;
        sd_bus_message_read(message, "o", &session);
        auto options = readStringOptions(message);
        std::vector<std::pair<std::string, std::string>> held;
        {
            std::lock_guard lock(shared->mutex);
            held.assign(shared->held.begin(), shared->held.end());
        }
        std::string path = shared->requestPath(message, options["handle_token"]);
        shared->respond(path, [held](sd_bus_message* signal) {
            sd_bus_message_open_container(signal, 'a', "{sv}");
            appendShortcutResults(signal, held);
            sd_bus_message_close_container(signal);
        });
        return sd_bus_reply_method_return(message, "o", path.c_str());
    }

    static int bindShortcuts(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* shared = static_cast<Shared*>(userdata);
        shared->record("BindShortcuts");
        const char* session = nullptr;
        sd_bus_message_read(message, "o", &session);
        std::vector<std::pair<std::string, std::string>> bound;
        std::string listed;
        for (const auto& id : readShortcutIds(message)) {
            listed += " " + id;
            if (!shared->behaviour.leaveOut.count(id) && !shared->behaviour.bindNothing) {
                bound.emplace_back(id, "Trigger of " + id);
            }
        }
        const char* parent = nullptr;
        sd_bus_message_read(message, "s", &parent);
        auto options = readStringOptions(message);
        {
            std::lock_guard lock(shared->mutex);
            shared->offered.push_back("BindShortcuts:" + listed);
            for (const auto& [id, trigger] : bound) shared->held[id] = trigger;
        }
        std::string path = shared->requestPath(message, options["handle_token"]);
        shared->respond(path, [bound](sd_bus_message* signal) {
            sd_bus_message_open_container(signal, 'a', "{sv}");
            appendShortcutResults(signal, bound);
            sd_bus_message_close_container(signal);
        });
        return sd_bus_reply_method_return(message, "o", path.c_str());
    }

    static int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "u", 1u);
    }
};

namespace {

const sd_bus_vtable shortcutsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "a{sv}", "o", PortalStandIn::Shared::createSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("BindShortcuts", "oa(sa{sv})sa{sv}", "o", PortalStandIn::Shared::bindShortcuts,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListShortcuts", "oa{sv}", "o", PortalStandIn::Shared::listShortcuts, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("version", "u", PortalStandIn::Shared::version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

const sd_bus_vtable registryVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Register", "sa{sv}", "", PortalStandIn::Shared::registerApp, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

PortalStandIn::PortalStandIn(const std::string& busAddress, Behaviour behaviour)
    : service_(busAddress), shared_(std::make_unique<Shared>()) {
    shared_->behaviour = std::move(behaviour);
    shared_->held = shared_->behaviour.held;
    shared_->service = &service_;
    if (!service_.connected()) return;
    int result = -1;
    service_.run([&](sd_bus* bus) {
        sd_bus_slot* slot = nullptr;
        result = sd_bus_add_object_vtable(bus, &slot, objectPath, "org.freedesktop.portal.GlobalShortcuts",
                                          shortcutsVtable, shared_.get());
        if (result >= 0) shared_->slots.push_back(slot);
        if (result >= 0 && shared_->behaviour.registry) {
            result = sd_bus_add_object_vtable(bus, &slot, objectPath, "org.freedesktop.host.portal.Registry",
                                              registryVtable, shared_.get());
            if (result >= 0) shared_->slots.push_back(slot);
        }
    });
    ready_ = result >= 0 && service_.own("org.freedesktop.portal.Desktop");
}

PortalStandIn::~PortalStandIn() {
    std::vector<std::thread> later;
    {
        std::lock_guard lock(shared_->mutex);
        later.swap(shared_->later);
    }
    for (auto& thread : later) thread.join();
    service_.run([&](sd_bus*) {
        for (auto* slot : shared_->slots) sd_bus_slot_unref(slot);
    });
}

std::vector<std::string> PortalStandIn::calls() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->calls;
}

std::vector<std::string> PortalStandIn::offered() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->offered;
}

std::vector<std::string> PortalStandIn::sessionTokens() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->sessionTokens;
}

void PortalStandIn::changeTrigger(const std::string& id, const std::string& trigger) {
    std::string session = lastSession();
    service_.run([&](sd_bus* bus) {
        sd_bus_message* signal = nullptr;
        sd_bus_message_new_signal(bus, &signal, objectPath, "org.freedesktop.portal.GlobalShortcuts", "ShortcutsChanged");
        sd_bus_message_append(signal, "o", session.c_str());
        sd_bus_message_append(signal, "a(sa{sv})", 1, id.c_str(), 1, "trigger_description", "s", trigger.c_str());
        sd_bus_send(bus, signal, nullptr);
        sd_bus_message_unref(signal);
    });
}

std::string PortalStandIn::lastSession() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->lastSession;
}

void PortalStandIn::emit(const char* member, const std::string& session, const std::string& id) {
    service_.run([&](sd_bus* bus) {
        sd_bus_emit_signal(bus, objectPath, "org.freedesktop.portal.GlobalShortcuts", member, "osta{sv}", session.c_str(),
                           id.c_str(), std::uint64_t{0}, 0);
    });
}

}  // namespace wayland_test
