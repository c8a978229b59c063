#include "platform/hotkeys/portal_hot_key_backend.hpp"

#include "platform/hotkeys/portal_backend_state.hpp"
#include "platform/hotkeys/xcb_hot_key_backend.hpp"

namespace asio = boost::asio;

namespace platform {

using namespace portal_detail;

// Pending entries are let go outside sd-bus's callbacks (one of them may be running).
void PortalHotKeyBackend::State::retire(Pending* entry) {
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

void PortalHotKeyBackend::State::retireOlderThan(std::uint64_t current) {
    std::vector<Pending*> old;
    for (auto& entry : pending) {
        // A session still being created is kept listened to, so that it can be closed.
        if (!lasting(entry->step) && entry->step != Step::sessionResponse && entry->generation < current) {
            old.push_back(entry.get());
        }
    }
    for (auto* entry : old) retire(entry);
}

PortalHotKeyBackend::State::Pending* PortalHotKeyBackend::State::track(Step step) {
    pending.push_back(std::make_unique<Pending>(Pending{this, step, generation, nullptr}));
    return pending.back().get();
}

int PortalHotKeyBackend::State::onMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* entry = static_cast<Pending*>(userdata);
    entry->state->handle(*entry, message);
    return 0;
}

void PortalHotKeyBackend::State::call(const char* interface, const char* member, Step step,
                                      const std::function<int(sd_bus_message*)>& fill) {
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
void PortalHotKeyBackend::State::listen(const std::string& path, const char* interface, const char* member, Step step) {
    Pending* entry = track(step);
    if (sd_bus_match_signal_async(bus->get(), &entry->slot, nullptr, path.c_str(), interface, member, onMessage,
                                  nullptr, entry) < 0) {
        retire(entry);
    }
}

std::string PortalHotKeyBackend::State::requestPath(const std::string& token) const {
    return std::string(portal::objectPath) + "/request/" + senderElement + "/" + token;
}

void PortalHotKeyBackend::State::start() {
    call(portal::registryInterface, "Register", Step::registry, [&](sd_bus_message* message) {
        int result = sd_bus_message_append(message, "s", options.applicationId.c_str());
        return result < 0 ? result : portal::appendStringOptions(message, {});
    });
}

void PortalHotKeyBackend::State::probe() {
    call("org.freedesktop.DBus.Properties", "Get", Step::probe, [](sd_bus_message* message) {
        return sd_bus_message_append(message, "ss", portal::shortcutsInterface, "version");
    });
}

void PortalHotKeyBackend::State::becomeAvailable(sd_bus_message* reply) {
    availability = Availability::portal;
    const char* destination = sd_bus_message_get_destination(reply);
    senderElement = portal::senderPathElement(destination ? destination : "");
    if (!listening) {
        listening = true;
        for (const char* member : {"Activated", "Deactivated", "ShortcutsChanged"}) {
            listen(portal::objectPath, portal::shortcutsInterface, member, Step::signal);
        }
    }
    bus->pump();
    if (!wanted.empty()) startBinding();
}

// A new front end (a restart) knows none of the old sessions: everything is asked anew.
void PortalHotKeyBackend::State::watchPortalOwner() {
    Pending* entry = track(Step::ownerChange);
    if (sd_bus_match_signal_async(bus->get(), &entry->slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "NameOwnerChanged", onMessage, nullptr, entry) < 0) {
        retire(entry);
    }
    bus->pump();
}

void PortalHotKeyBackend::State::ownerChanged(sd_bus_message* message) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &before, &after) < 0 || !name || !after) return;
    if (std::string(name) != portal::service || !*after || availability != Availability::portal) return;
    restart();
}

void PortalHotKeyBackend::State::restart() {
    ++generation;
    retireOlderThan(generation);
    sessionHandle.clear();
    creating = false;
    binding.clear();
    start();
}

// No portal with global shortcuts: said once, and the fallback takes every registration.
void PortalHotKeyBackend::State::becomeFallback() {
    availability = Availability::fallback;
    sayNoGlobalKeysUnderWaylandOnce(options.withX11, options.warn);
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

void PortalHotKeyBackend::State::postRebind() {
    if (rebindPosted || availability != Availability::portal) return;
    rebindPosted = true;
    asio::post(mainExecutor, [weak = weak] {
        if (auto self = weak.lock()) {
            self->rebindPosted = false;
            if (self->binding != self->wanted || self->sessionHandle.empty()) self->startBinding();
        }
    });
}

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
    state->watchPortalOwner();
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
