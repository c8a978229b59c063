#include "platform/hotkeys/portal_hot_key_backend.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <list>
#include <set>

#include "platform/dbus/sd_bus_connection.hpp"
#include "platform/hotkeys/portal_messages.hpp"
#include "platform/hotkeys/portal_trigger.hpp"
#include "platform/hotkeys/xcb_hot_key_backend.hpp"

namespace asio = boost::asio;

namespace platform {
namespace {

using Combination = std::pair<std::uint32_t, std::uint32_t>;

std::uint64_t idKey(HotKeyId id) { return (std::uint64_t{id.signature} << 32) | id.id; }

Combination combinationOf(const NamedHotKey& named) { return {named.carbonKeyCode, named.carbonModifiers}; }

// The status a failed call is reported with.
std::int32_t statusOf(sd_bus_message* reply) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (error && (sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT) || sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY))) {
        return HotKeyStatus::noAnswer;
    }
    return HotKeyStatus::refusedByDesktop;
}

}  // namespace

struct PortalHotKeyBackend::State {
    enum class Step { registry, probe, createSession, sessionResponse, bindShortcuts, bindResponse, signal };

    // A call waiting for its reply, or a match waiting for a signal.
    struct Pending {
        State* state = nullptr;
        Step step = Step::signal;
        std::uint64_t generation = 0;
        sd_bus_slot* slot = nullptr;
    };

    struct Registration {
        HotKeyId id;
        Combination combination;
    };

    asio::any_io_executor mainExecutor;
    asio::any_io_executor ioExecutor;
    Options options;
    std::shared_ptr<HotKeyBackend> fallback;
    std::shared_ptr<SdBusConnection> bus;
    std::weak_ptr<State> weak;
    Availability availability = Availability::probing;

    std::map<std::uint64_t, Registration> registrations;
    std::vector<NamedHotKey> wanted;   // as last told
    std::vector<NamedHotKey> binding;  // what the current session binds
    std::map<std::string, std::string> triggers;  // names bound, with what triggers them
    std::set<Combination> refused;                // by the current binding
    std::string sessionHandle;
    std::string senderElement;
    std::string expectedRequest;  // the path of the request made last
    std::uint64_t generation = 0;
    std::uint64_t lastToken = 0;
    bool rebindPosted = false;

    std::list<std::unique_ptr<Pending>> pending;
    std::vector<std::unique_ptr<Pending>> retired;
    bool cleanupPosted = false;

    EventHandler eventHandler;
    KeymapChangeHandler keymapHandler;
    RefusalHandler refusalHandler;
    TriggerChangeHandler triggerHandler;

    ~State() {
        for (auto& entry : pending) sd_bus_slot_unref(entry->slot);
        for (auto& entry : retired) sd_bus_slot_unref(entry->slot);
        pending.clear();
        retired.clear();
    }

    // Pending entries are let go outside sd-bus's callbacks (one of them may be running).
    void retire(Pending* entry) {
        auto found = std::find_if(pending.begin(), pending.end(), [&](const auto& p) { return p.get() == entry; });
        if (found == pending.end()) return;
        retired.push_back(std::move(*found));
        pending.erase(found);
        if (cleanupPosted) return;
        cleanupPosted = true;
        asio::post(mainExecutor, [weak = weak] {
            auto self = weak.lock();
            if (!self) return;
            self->cleanupPosted = false;
            for (auto& entry : self->retired) sd_bus_slot_unref(entry->slot);
            self->retired.clear();
        });
    }

    void retireOlderThan(std::uint64_t current) {
        std::vector<Pending*> old;
        for (auto& entry : pending) {
            // A session still being created is kept listened to, so that it can be closed.
            if (entry->step != Step::signal && entry->step != Step::sessionResponse && entry->generation < current) {
                old.push_back(entry.get());
            }
        }
        for (auto* entry : old) retire(entry);
    }

    Pending* track(Step step) {
        pending.push_back(std::make_unique<Pending>(Pending{this, step, generation, nullptr}));
        return pending.back().get();
    }

    static int onMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* entry = static_cast<Pending*>(userdata);
        entry->state->handle(*entry, message);
        return 0;
    }

    // Calls `member` on the portal with the arguments `fill` appends; the reply reaches handle()
    // as `step`.
    template <class Fill>
    void call(const char* interface, const char* member, Step step, Fill fill) {
        sd_bus_message* message = nullptr;
        int result = sd_bus_message_new_method_call(bus->get(), &message, portal::service, portal::objectPath,
                                                    interface, member);
        if (result >= 0) result = fill(message);
        Pending* entry = track(step);
        if (result >= 0) {
            auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(options.callTimeout).count();
            result = sd_bus_call_async(bus->get(), &entry->slot, message, onMessage, entry,
                                       static_cast<std::uint64_t>(std::max<std::int64_t>(timeout, 1)));
        }
        sd_bus_message_unref(message);
        bus->pump();
        if (result < 0) {
            retire(entry);
            failed(step, HotKeyStatus::refusedByDesktop);
        }
    }

    // Listens for a signal of the portal; request paths are listened to before the request is made.
    void listen(const std::string& path, const char* interface, const char* member, Step step) {
        Pending* entry = track(step);
        if (sd_bus_match_signal_async(bus->get(), &entry->slot, nullptr, path.c_str(), interface, member, onMessage,
                                      nullptr, entry) < 0) {
            retire(entry);
        }
    }

    std::string requestPath(const std::string& token) const {
        return std::string(portal::objectPath) + "/request/" + senderElement + "/" + token;
    }

    std::string nextToken() { return "kestro" + std::to_string(++lastToken); }

    // Start-up

    void start() {
        call(portal::registryInterface, "Register", Step::registry, [&](sd_bus_message* message) {
            int result = sd_bus_message_append(message, "s", options.applicationId.c_str());
            return result < 0 ? result : portal::appendStringOptions(message, {});
        });
    }

    void probe() {
        call("org.freedesktop.DBus.Properties", "Get", Step::probe, [](sd_bus_message* message) {
            return sd_bus_message_append(message, "ss", portal::shortcutsInterface, "version");
        });
    }

    void becomeAvailable(sd_bus_message* reply) {
        availability = Availability::portal;
        const char* destination = sd_bus_message_get_destination(reply);
        senderElement = portal::senderPathElement(destination ? destination : "");
        for (const char* member : {"Activated", "Deactivated", "ShortcutsChanged"}) {
            listen(portal::objectPath, portal::shortcutsInterface, member, Step::signal);
        }
        bus->pump();
        if (!wanted.empty()) startBinding();
    }

    // No portal with global shortcuts: said once, and the fallback takes every registration.
    void becomeFallback() {
        availability = Availability::fallback;
        sayNoGlobalKeysUnderWaylandOnce(options.withX11);
        if (!fallback) return;
        fallback->setEventHandler(eventHandler);
        fallback->setKeymapChangeHandler(keymapHandler);
        std::vector<HotKeyLoss> lost;
        for (const auto& [key, registration] : registrations) {
            auto [keyCode, modifiers] = registration.combination;
            auto status = fallback->registerHotKey(keyCode, modifiers, registration.id);
            if (status != HotKeyStatus::ok) lost.push_back({registration.id, status});
        }
        registrations.clear();
        std::vector<std::string> names;
        for (const auto& named : wanted) names.push_back(named.name);
        if (auto handler = triggerHandler; handler && !names.empty()) handler(names);
        if (auto handler = refusalHandler; handler && !lost.empty()) handler(lost);
    }

    // Binding: a new session for the names wanted now, the old one closed.

    void postRebind() {
        if (rebindPosted || availability != Availability::portal) return;
        rebindPosted = true;
        asio::post(mainExecutor, [weak = weak] {
            if (auto self = weak.lock()) {
                self->rebindPosted = false;
                if (self->binding != self->wanted || self->sessionHandle.empty()) self->startBinding();
            }
        });
    }

    void startBinding() {
        ++generation;
        retireOlderThan(generation);
        closeSession();
        binding = wanted;
        refused.clear();
        std::vector<std::string> changed;
        for (const auto& [name, trigger] : triggers) changed.push_back(name);
        triggers.clear();
        if (auto handler = triggerHandler; handler && !changed.empty()) handler(changed);
        if (binding.empty()) return;
        std::string token = nextToken();
        expectedRequest = requestPath(token);
        listen(expectedRequest, portal::requestInterface, "Response", Step::sessionResponse);
        call(portal::shortcutsInterface, "CreateSession", Step::createSession, [&](sd_bus_message* message) {
            return portal::appendStringOptions(message,
                                               {{"handle_token", token}, {"session_handle_token", token + "_session"}});
        });
    }

    void closeSession() {
        if (sessionHandle.empty()) return;
        closeSessionAt(sessionHandle);
        sessionHandle.clear();
    }

    void closeSessionAt(const std::string& handle) {
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus->get(), &message, portal::service, handle.c_str(),
                                           portal::sessionInterface, "Close") >= 0) {
            sd_bus_message_set_expect_reply(message, 0);
            sd_bus_send(bus->get(), message, nullptr);
        }
        sd_bus_message_unref(message);
        bus->pump();
    }

    // A session that was created after a newer binding had begun is not needed.
    void closeStaleSession(sd_bus_message* response) {
        std::uint32_t code = 2;
        if (sd_bus_message_read_basic(response, SD_BUS_TYPE_UINT32, &code) < 0 || code != 0) return;
        auto handle = portal::readTextOption(response, "session_handle");
        if (handle && sd_bus_object_path_is_valid(handle->c_str())) closeSessionAt(*handle);
    }

    void bind() {
        std::vector<portal::ShortcutOffer> offers;
        for (const auto& named : binding) {
            auto description = options.descriptions.find(named.name);
            offers.push_back({named.name,
                              description != options.descriptions.end() ? description->second : named.name,
                              portalTrigger(named.carbonKeyCode, named.carbonModifiers)});
        }
        std::string token = nextToken();
        expectedRequest = requestPath(token);
        listen(expectedRequest, portal::requestInterface, "Response", Step::bindResponse);
        call(portal::shortcutsInterface, "BindShortcuts", Step::bindShortcuts, [&](sd_bus_message* message) {
            int result = sd_bus_message_append(message, "o", sessionHandle.c_str());
            if (result >= 0) result = portal::appendShortcuts(message, offers);
            if (result >= 0) result = sd_bus_message_append(message, "s", "");
            return result < 0 ? result : portal::appendStringOptions(message, {{"handle_token", token}});
        });
    }

    // A request answered under another path than the one listened to (portals from before the
    // handle token) is listened to there as well.
    void followRequest(sd_bus_message* reply, Step responseStep) {
        const char* path = nullptr;
        if (sd_bus_message_read_basic(reply, SD_BUS_TYPE_OBJECT_PATH, &path) < 0 || !path) return;
        if (path == expectedRequest) return;
        listen(path, portal::requestInterface, "Response", responseStep);
        bus->pump();
    }

    // Every name of the binding is unbound: reported once through the layer like a refused grab.
    void failed(Step step, std::int32_t status) {
        if (step == Step::registry) return probe();
        if (step == Step::probe) return becomeFallback();
        std::set<Combination> combinations;
        for (const auto& named : binding) combinations.insert(combinationOf(named));
        refuse(combinations, status);
    }

    void refuse(const std::set<Combination>& combinations, std::int32_t status) {
        refused.insert(combinations.begin(), combinations.end());
        std::vector<HotKeyLoss> lost;
        for (auto it = registrations.begin(); it != registrations.end();) {
            if (combinations.count(it->second.combination)) {
                lost.push_back({it->second.id, status});
                it = registrations.erase(it);
            } else {
                ++it;
            }
        }
        if (auto handler = refusalHandler; handler && !lost.empty()) handler(lost);
    }

    void bound(const portal::Triggers& reported) {
        std::set<Combination> unbound;
        std::set<Combination> boundCombinations;
        std::vector<std::string> changed;
        for (const auto& named : binding) {
            auto found = reported.find(named.name);
            if (found == reported.end()) {
                unbound.insert(combinationOf(named));
                continue;
            }
            boundCombinations.insert(combinationOf(named));
            triggers[named.name] = found->second;
            changed.push_back(named.name);
        }
        // A combination another bound name still prefers keeps its registrations.
        for (const auto& combination : boundCombinations) unbound.erase(combination);
        if (auto handler = triggerHandler; handler && !changed.empty()) handler(changed);
        if (!unbound.empty()) refuse(unbound, HotKeyStatus::refusedByDesktop);
    }

    void changedTriggers(const portal::Triggers& reported) {
        std::vector<std::string> changed;
        for (const auto& named : binding) {
            auto found = reported.find(named.name);
            if (found == reported.end()) continue;
            auto& trigger = triggers[named.name];
            if (trigger == found->second) continue;
            trigger = found->second;
            changed.push_back(named.name);
        }
        if (auto handler = triggerHandler; handler && !changed.empty()) handler(changed);
    }

    void activated(sd_bus_message* message, HotKeyEventKind kind) {
        const char* session = nullptr;
        const char* id = nullptr;
        if (sd_bus_message_read(message, "os", &session, &id) < 0 || !session || !id) return;
        if (sessionHandle.empty() || sessionHandle != session) return;
        // Only what the portal said it bound can be pressed.
        auto named = std::find_if(binding.begin(), binding.end(), [&](const NamedHotKey& n) { return n.name == id; });
        if (named == binding.end() || !triggers.count(named->name)) return;
        for (const auto& [key, registration] : registrations) {
            if (registration.combination != combinationOf(*named)) continue;
            if (auto handler = eventHandler) handler(registration.id, kind);
            return;
        }
    }

    void handle(Pending& entry, sd_bus_message* message) {
        Step step = entry.step;
        bool current = entry.generation == generation;
        if (step != Step::signal) retire(&entry);
        if (step == Step::signal) return signal(message);
        if (!current && step != Step::registry && step != Step::probe) {
            if (step == Step::sessionResponse) closeStaleSession(message);
            return;
        }
        bool error = sd_bus_message_is_method_error(message, nullptr) > 0;
        switch (step) {
            case Step::registry: return probe();
            case Step::probe: return error ? becomeFallback() : becomeAvailable(message);
            case Step::createSession:
                if (error) return failed(step, statusOf(message));
                return followRequest(message, Step::sessionResponse);
            case Step::bindShortcuts:
                if (error) return failed(step, statusOf(message));
                return followRequest(message, Step::bindResponse);
            case Step::sessionResponse:
            case Step::bindResponse: return response(step, message);
            case Step::signal: return;
        }
    }

    void response(Step step, sd_bus_message* message) {
        // Whichever path answered, the other listener for this request is done.
        std::vector<Pending*> twins;
        for (auto& entry : pending) {
            if (entry->step == step && entry->generation == generation) twins.push_back(entry.get());
        }
        for (auto* entry : twins) retire(entry);
        std::uint32_t code = 2;
        if (sd_bus_message_read_basic(message, SD_BUS_TYPE_UINT32, &code) < 0 || code != 0) {
            return failed(step, HotKeyStatus::refusedByDesktop);
        }
        if (step == Step::sessionResponse) {
            auto handle = portal::readTextOption(message, "session_handle");
            if (!handle || handle->empty() || !sd_bus_object_path_is_valid(handle->c_str())) {
                return failed(step, HotKeyStatus::refusedByDesktop);
            }
            sessionHandle = *handle;
            return bind();
        }
        // The shortcuts bound are the first entry of the results.
        std::optional<portal::Triggers> reported;
        if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}") > 0) {
            while (!reported && sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
                const char* key = nullptr;
                if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &key) < 0) break;
                if (std::string(key ? key : "") == "shortcuts" &&
                    sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, "a(sa{sv})") > 0) {
                    reported = portal::readShortcuts(message);
                    break;
                }
                sd_bus_message_skip(message, "v");
                sd_bus_message_exit_container(message);
            }
        }
        bound(reported.value_or(portal::Triggers{}));
    }

    void signal(sd_bus_message* message) {
        const char* member = sd_bus_message_get_member(message);
        std::string name = member ? member : "";
        if (name == "Activated") return activated(message, HotKeyEventKind::pressed);
        if (name == "Deactivated") return activated(message, HotKeyEventKind::released);
        if (name != "ShortcutsChanged") return;
        const char* session = nullptr;
        if (sd_bus_message_read_basic(message, SD_BUS_TYPE_OBJECT_PATH, &session) < 0 || !session) return;
        if (sessionHandle.empty() || sessionHandle != session) return;
        if (auto reported = portal::readShortcuts(message)) changedTriggers(*reported);
    }
};

std::shared_ptr<PortalHotKeyBackend> PortalHotKeyBackend::create(asio::any_io_executor mainExecutor,
                                                                 asio::any_io_executor ioExecutor, Options options,
                                                                 std::shared_ptr<HotKeyBackend> fallback) {
    std::shared_ptr<PortalHotKeyBackend> backend(new PortalHotKeyBackend());
    auto state = std::make_shared<State>();
    state->weak = state;
    state->mainExecutor = mainExecutor;
    state->ioExecutor = ioExecutor;
    state->options = std::move(options);
    state->fallback = std::move(fallback);
    backend->state_ = state;
    state->bus = SdBusConnection::open(mainExecutor, ioExecutor, state->options.busAddress);
    if (!state->bus) {
        // Decided on the main executor, like every later answer.
        asio::post(mainExecutor, [weak = state->weak] {
            if (auto self = weak.lock()) self->becomeFallback();
        });
        return backend;
    }
    state->start();
    return backend;
}

// The state lets its slots go before its connection; nothing of it runs afterwards.
PortalHotKeyBackend::~PortalHotKeyBackend() = default;

PortalHotKeyBackend::Availability PortalHotKeyBackend::availability() const { return state_->availability; }

std::map<std::string, std::string> PortalHotKeyBackend::boundTriggers() const { return state_->triggers; }

std::int32_t PortalHotKeyBackend::registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                                 HotKeyId id) {
    State& state = *state_;
    if (state.availability == Availability::fallback) {
        return state.fallback ? state.fallback->registerHotKey(carbonKeyCode, carbonModifiers, id)
                              : HotKeyStatus::noConnection;
    }
    if (state.registrations.count(idKey(id))) return HotKeyStatus::idInUse;
    if (state.refused.count({carbonKeyCode, carbonModifiers})) return HotKeyStatus::refusedByDesktop;
    state.registrations[idKey(id)] = {id, {carbonKeyCode, carbonModifiers}};
    return HotKeyStatus::ok;
}

void PortalHotKeyBackend::unregisterHotKey(HotKeyId id) {
    if (state_->availability == Availability::fallback) {
        if (state_->fallback) state_->fallback->unregisterHotKey(id);
        return;
    }
    state_->registrations.erase(idKey(id));
}

void PortalHotKeyBackend::setEventHandler(EventHandler handler) {
    state_->eventHandler = handler;
    if (state_->availability == Availability::fallback && state_->fallback) state_->fallback->setEventHandler(handler);
}

void PortalHotKeyBackend::setKeymapChangeHandler(KeymapChangeHandler handler) {
    state_->keymapHandler = handler;
    if (state_->availability == Availability::fallback && state_->fallback) {
        state_->fallback->setKeymapChangeHandler(handler);
    }
}

void PortalHotKeyBackend::setRefusalHandler(RefusalHandler handler) { state_->refusalHandler = std::move(handler); }

void PortalHotKeyBackend::setNamedHotKeys(std::vector<NamedHotKey> named) {
    if (named == state_->wanted) return;
    state_->wanted = std::move(named);
    state_->postRebind();
}

std::optional<std::string> PortalHotKeyBackend::triggerDescription(const std::string& name) const {
    if (state_->availability == Availability::fallback) return std::nullopt;
    auto found = state_->triggers.find(name);
    return found == state_->triggers.end() ? std::string() : found->second;
}

void PortalHotKeyBackend::setTriggerChangeHandler(TriggerChangeHandler handler) {
    state_->triggerHandler = std::move(handler);
}

bool PortalHotKeyBackend::isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) {
    if (state_->availability != Availability::fallback || !state_->fallback) return false;
    return state_->fallback->isHeldElsewhere(carbonKeyCode, carbonModifiers);
}

std::optional<std::int64_t> PortalHotKeyBackend::carbonKeyCode(std::uint32_t nativeKeycode) const {
    if (!state_->fallback) return std::nullopt;
    return state_->fallback->carbonKeyCode(nativeKeycode);
}

std::int64_t PortalHotKeyBackend::carbonModifiers(std::uint32_t nativeState) const {
    return state_->fallback ? state_->fallback->carbonModifiers(nativeState) : 0;
}

}  // namespace platform
