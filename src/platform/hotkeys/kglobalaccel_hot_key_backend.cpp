#include "platform/hotkeys/kglobalaccel_hot_key_backend.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <set>
#include <string_view>

#include "platform/dbus/sd_bus_async.hpp"
#include "platform/dbus/sd_bus_connection.hpp"
#include "platform/hotkeys/kglobalaccel_keys.hpp"
#include "platform/hotkeys/kglobalaccel_messages.hpp"
#include "platform/runtime/print.hpp"

namespace asio = boost::asio;

namespace platform {
namespace {

using Combination = std::pair<std::uint32_t, std::uint32_t>;

Combination combinationOf(const NamedHotKey& named) { return {named.carbonKeyCode, named.carbonModifiers}; }

}  // namespace

struct KGlobalAccelHotKeyBackend::State {
    struct Registration {
        HotKeyId id;
        Combination combination;
    };

    asio::any_io_executor mainExecutor;
    Options options;
    std::shared_ptr<KeyboardLayout> layout;
    std::shared_ptr<HotKeyBackend> nativeKeys;
    FallbackFactory makeFallback;
    std::shared_ptr<HotKeyBackend> fallback;
    std::shared_ptr<SdBusConnection> bus;
    std::weak_ptr<State> weak;
    Availability availability = Availability::probing;

    // The service's unique name on the bus ("" while it has none); its signals are believed only
    // from there. Every change of owner starts a new generation, whose registrations are made anew.
    std::string owner;
    std::uint64_t generation = 0;
    SdBusSlot ownerWatch;
    SdBusSlot pressedWatch;
    SdBusSlot releasedWatch;
    SdBusSlot changedWatch;

    std::map<std::uint64_t, Registration> registrations;
    std::vector<NamedHotKey> wanted;           // as last told
    std::map<std::string, Combination> told;   // actions made present, with the default offered
    std::map<std::string, kglobalaccel::KeySequences> keys;  // what the service says triggers each name
    std::set<std::string> collisionsSaid;
    bool syncPosted = false;
    bool failureSaid = false;

    EventHandler eventHandler;
    KeymapChangeHandler keymapHandler;
    RefusalHandler refusalHandler;
    TriggerChangeHandler triggerHandler;

    ~State() {
        // Actions of an application that has ended hold no keys: the service lets them go.
        if (availability != Availability::kglobalaccel || !bus || told.empty()) return;
        for (const auto& [name, combination] : told) {
            if (auto* message = newCall("setInactive")) {
                if (appendActionId(message, name) >= 0) sendWithoutReply(*bus, message);
                sd_bus_message_unref(message);
            }
        }
        sd_bus_flush(bus->get());
    }

    std::string description(const std::string& name) const {
        auto found = options.descriptions.find(name);
        return found == options.descriptions.end() ? name : found->second;
    }

    sd_bus_message* newCall(const char* member, const char* path = kglobalaccel::objectPath,
                            const char* interface = kglobalaccel::interface) const {
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus->get(), &message, kglobalaccel::service, path, interface, member) < 0) {
            return nullptr;
        }
        return message;
    }

    int appendActionId(sd_bus_message* message, const std::string& name) const {
        return sd_bus_message_append(message, "as", 4u, options.componentName.c_str(), name.c_str(),
                                     options.friendlyName.c_str(), description(name).c_str());
    }

    template <class Handler>
    void call(sd_bus_message* message, Handler handler) {
        if (!message) return;
        callAsync(*bus, message, options.callTimeout, [weak = weak, handler](sd_bus_message* reply) {
            if (auto self = weak.lock()) handler(*self, reply);
        });
        sd_bus_message_unref(message);
    }

    void tell(const std::vector<std::string>& names) {
        if (auto handler = triggerHandler; handler && !names.empty()) handler(names);
    }

    // Start-up: is the service there, or can the bus start it?

    void start() {
        ownerWatch = subscribe(*bus,
                               "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                               "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
                                   std::string(kglobalaccel::service) + "'",
                               [weak = weak](sd_bus_message* message) {
                                   if (auto self = weak.lock()) self->ownerChanged(message);
                               });
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus->get(), &message, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "GetNameOwner") < 0 ||
            sd_bus_message_append(message, "s", kglobalaccel::service) < 0) {
            sd_bus_message_unref(message);
            return post([](State& self) { self.becomeFallback(); });
        }
        call(message, [](State& self, sd_bus_message* reply) {
            const char* name = nullptr;
            if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "s", &name) >= 0 && name) {
                return self.becomeAvailable(name);
            }
            self.askActivatable();
        });
    }

    void askActivatable() {
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus->get(), &message, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "ListActivatableNames") < 0) {
            sd_bus_message_unref(message);
            return becomeFallback();
        }
        call(message, [](State& self, sd_bus_message* reply) {
            bool activatable = false;
            if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_enter_container(reply, 'a', "s") > 0) {
                const char* name = nullptr;
                while (!activatable && sd_bus_message_read(reply, "s", &name) > 0) {
                    activatable = name && std::string_view(name) == kglobalaccel::service;
                }
            }
            // Calls to a service the bus can start start it; its owner is told when it appears.
            if (activatable) return self.becomeAvailable("");
            self.becomeFallback();
        });
    }

    template <class Work>
    void post(Work work) {
        asio::post(mainExecutor, [weak = weak, work] {
            if (auto self = weak.lock()) work(*self);
        });
    }

    void becomeAvailable(const std::string& uniqueName) {
        if (availability != Availability::probing) return;
        availability = Availability::kglobalaccel;
        owner = uniqueName;
        const std::string component = std::string(kglobalaccel::componentPathPrefix) + kglobalaccel::pathElement(options.componentName);
        auto route = [this, component](const char* member, HotKeyEventKind kind) {
            return subscribe(*bus,
                             "type='signal',path='" + component + "',interface='" + kglobalaccel::componentInterface +
                                 "',member='" + member + "'",
                             [weak = weak, kind](sd_bus_message* message) {
                                 if (auto self = weak.lock()) self->activated(message, kind);
                             });
        };
        pressedWatch = route("globalShortcutPressed", HotKeyEventKind::pressed);
        releasedWatch = route("globalShortcutReleased", HotKeyEventKind::released);
        changedWatch = subscribe(*bus,
                                 std::string("type='signal',path='") + kglobalaccel::objectPath + "',interface='" +
                                     kglobalaccel::interface + "',member='yourShortcutsChanged'",
                                 [weak = weak](sd_bus_message* message) {
                                     if (auto self = weak.lock()) self->shortcutsChanged(message);
                                 });
        postSync();
    }

    // Without the service the fallback serves the session, registrations and names alike.
    void becomeFallback() {
        if (availability == Availability::fallback) return;
        availability = Availability::fallback;
        if (makeFallback) fallback = makeFallback();
        makeFallback = nullptr;
        std::vector<HotKeyLoss> lost;
        if (fallback) {
            fallback->setEventHandler(eventHandler);
            fallback->setKeymapChangeHandler(keymapHandler);
            fallback->setRefusalHandler(refusalHandler);
            fallback->setTriggerChangeHandler(triggerHandler);
        }
        for (const auto& [key, registration] : registrations) {
            auto [keyCode, modifiers] = registration.combination;
            auto status = fallback ? fallback->registerHotKey(keyCode, modifiers, registration.id)
                                   : HotKeyStatus::noConnection;
            if (status != HotKeyStatus::ok) lost.push_back({registration.id, status});
        }
        registrations.clear();
        if (fallback) fallback->setNamedHotKeys(wanted);
        std::vector<std::string> names;
        for (const auto& named : wanted) names.push_back(named.name);
        tell(names);
        if (auto handler = refusalHandler; handler && !lost.empty()) handler(lost);
    }

    void ownerChanged(sd_bus_message* message) {
        const char* sender = sd_bus_message_get_sender(message);
        if (!sender || std::string_view(sender) != "org.freedesktop.DBus") return;
        const char* name = nullptr;
        const char* before = nullptr;
        const char* after = nullptr;
        if (sd_bus_message_read(message, "sss", &name, &before, &after) < 0 || !name || !after) return;
        if (std::string_view(name) != kglobalaccel::service || availability != Availability::kglobalaccel) return;
        if (owner == after) return;
        // A new service (or none) knows nothing of what the old one was told.
        owner = after;
        ++generation;
        told.clear();
        if (!owner.empty()) postSync();
    }

    // Registration: each name wanted is made present once per service, or again with a new default
    // once the application records another combination for it.

    void postSync() {
        if (syncPosted || availability != Availability::kglobalaccel) return;
        syncPosted = true;
        post([](State& self) {
            self.syncPosted = false;
            self.sync();
        });
    }

    void sync() {
        std::vector<std::string> changed;
        for (auto it = told.begin(); it != told.end();) {
            bool still = std::any_of(wanted.begin(), wanted.end(), [&](const NamedHotKey& n) { return n.name == it->first; });
            if (still) {
                ++it;
                continue;
            }
            if (auto* message = newCall("setInactive")) {
                if (appendActionId(message, it->first) >= 0) sendWithoutReply(*bus, message);
                sd_bus_message_unref(message);
            }
            keys.erase(it->first);
            changed.push_back(it->first);
            it = told.erase(it);
        }
        tell(changed);
        for (const auto& named : wanted) {
            auto found = told.find(named.name);
            if (found == told.end()) {
                present(named, true);
            } else if (found->second != combinationOf(named)) {
                present(named, false);
            }
        }
    }

    // Registers the action with the combination as its default, and makes it present: with the
    // keys the user chose in KDE's settings (`userKeysWin`), or with the combination itself.
    void present(const NamedHotKey& named, bool userKeysWin) {
        auto key = kdeKeyOf({named.carbonKeyCode, named.carbonModifiers}, layout.get());
        told[named.name] = combinationOf(named);
        if (auto* message = newCall("doRegister")) {
            if (appendActionId(message, named.name) >= 0) sendWithoutReply(*bus, message);
            sd_bus_message_unref(message);
        }
        auto setKeys = [&](std::uint32_t flags) {
            sd_bus_message* message = newCall("setShortcutKeys");
            if (!message) return message;
            if (appendActionId(message, named.name) < 0 || kglobalaccel::appendKeys(message, key) < 0 ||
                sd_bus_message_append(message, "u", flags) < 0) {
                return sd_bus_message_unref(message);
            }
            return message;
        };
        if (auto* message = setKeys(kglobalaccel::isDefault)) {
            sendWithoutReply(*bus, message);
            sd_bus_message_unref(message);
        }
        auto flags = kglobalaccel::setPresent | (userKeysWin ? 0u : kglobalaccel::noAutoloading);
        call(setKeys(flags), [name = named.name, combination = combinationOf(named), key, generation = generation](
                                 State& self, sd_bus_message* reply) {
            auto found = self.told.find(name);
            if (self.generation != generation || found == self.told.end() || found->second != combination) return;
            if (sd_bus_message_is_method_error(reply, nullptr)) return self.sayFailure(reply);
            auto reported = kglobalaccel::readKeySequences(reply);
            if (!reported) return;
            self.keys[name] = *reported;
            self.tell({name});
            if (reported->empty() && key) self.checkCollision(name, *key);
        });
    }

    void sayFailure(sd_bus_message* reply) {
        if (failureSaid) return;
        failureSaid = true;
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        print("KDE's global shortcut service did not take " + options.friendlyName + "'s shortcuts: " +
              (error && error->message ? error->message : error && error->name ? error->name : "no answer"));
    }

    // The question which actions have the key.
    sd_bus_message* shortcutsByKeyCall(std::int32_t key) const {
        sd_bus_message* message = newCall("globalShortcutsByKey");
        if (!message) return nullptr;
        if (kglobalaccel::appendKeySequence(message, key) < 0 ||
            sd_bus_message_append(message, "(i)", kglobalaccel::matchEqual) < 0) {
            return sd_bus_message_unref(message);
        }
        return message;
    }

    // A default that another component holds leaves the name without a key; the user is told
    // once where to choose one.
    void checkCollision(const std::string& name, std::int32_t key) {
        call(shortcutsByKeyCall(key), [name](State& self, sd_bus_message* reply) {
            if (sd_bus_message_is_method_error(reply, nullptr)) return;
            auto holder = kglobalaccel::otherHolder(reply, self.options.componentName);
            if (!holder || !self.collisionsSaid.insert(name).second) return;
            print("KDE's shortcut settings give \"" + self.description(name) + "\" no key: its default is taken by \"" +
                  *holder + "\". Choose one in System Settings, Shortcuts, " + self.options.friendlyName + ".");
        });
    }

    // Events and changes from the service.

    bool fromService(sd_bus_message* message) const {
        const char* sender = sd_bus_message_get_sender(message);
        return sender && !owner.empty() && owner == sender;
    }

    void activated(sd_bus_message* message, HotKeyEventKind kind) {
        if (!fromService(message)) return;
        const char* component = nullptr;
        const char* action = nullptr;
        if (sd_bus_message_read(message, "ss", &component, &action) < 0 || !component || !action) return;
        if (options.componentName != component || !told.count(action)) return;
        auto named = std::find_if(wanted.begin(), wanted.end(), [&](const NamedHotKey& n) { return n.name == action; });
        if (named == wanted.end()) return;
        for (const auto& [key, registration] : registrations) {
            if (registration.combination != combinationOf(*named)) continue;
            if (auto handler = eventHandler) handler(registration.id, kind);
            return;
        }
    }

    void shortcutsChanged(sd_bus_message* message) {
        if (!fromService(message)) return;
        auto action = kglobalaccel::readActionId(message);
        if (!action || action->size() < 2 || (*action)[0] != options.componentName || !told.count((*action)[1])) return;
        auto reported = kglobalaccel::readKeySequences(message);
        if (!reported) return;
        auto& current = keys[(*action)[1]];
        if (current == *reported) return;
        current = *reported;
        tell({(*action)[1]});
    }

    std::optional<BoundCombination> bound(const std::string& name) const {
        auto found = keys.find(name);
        if (found == keys.end()) return std::nullopt;
        for (const auto& sequence : found->second) {
            if (sequence.size() != 1) continue;
            if (auto combination = carbonCombinationOf(sequence.front(), layout.get())) {
                return BoundCombination{true, combination->carbonKeyCode, combination->carbonModifiers};
            }
        }
        return BoundCombination{};
    }
};

std::shared_ptr<KGlobalAccelHotKeyBackend> KGlobalAccelHotKeyBackend::create(
    asio::any_io_executor mainExecutor, asio::any_io_executor ioExecutor, Options options,
    std::shared_ptr<KeyboardLayout> layout, std::shared_ptr<HotKeyBackend> nativeKeys, FallbackFactory fallback) {
    std::shared_ptr<KGlobalAccelHotKeyBackend> backend(new KGlobalAccelHotKeyBackend());
    auto state = std::make_shared<State>();
    state->weak = state;
    state->mainExecutor = mainExecutor;
    state->options = std::move(options);
    state->layout = std::move(layout);
    state->nativeKeys = std::move(nativeKeys);
    state->makeFallback = std::move(fallback);
    backend->state_ = state;
    state->bus = SdBusConnection::open(mainExecutor, ioExecutor, state->options.busAddress);
    if (!state->bus) {
        // Decided on the main executor, like every later answer.
        state->post([](State& self) { self.becomeFallback(); });
        return backend;
    }
    state->start();
    return backend;
}

KGlobalAccelHotKeyBackend::~KGlobalAccelHotKeyBackend() = default;

KGlobalAccelHotKeyBackend::Availability KGlobalAccelHotKeyBackend::availability() const { return state_->availability; }

std::int32_t KGlobalAccelHotKeyBackend::registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                                       HotKeyId id) {
    State& state = *state_;
    if (state.availability == Availability::fallback) {
        return state.fallback ? state.fallback->registerHotKey(carbonKeyCode, carbonModifiers, id)
                              : HotKeyStatus::noConnection;
    }
    if (state.registrations.count(idKey(id))) return HotKeyStatus::idInUse;
    state.registrations[idKey(id)] = {id, {carbonKeyCode, carbonModifiers}};
    return HotKeyStatus::ok;
}

void KGlobalAccelHotKeyBackend::unregisterHotKey(HotKeyId id) {
    if (state_->availability == Availability::fallback) {
        if (state_->fallback) state_->fallback->unregisterHotKey(id);
        return;
    }
    state_->registrations.erase(idKey(id));
}

void KGlobalAccelHotKeyBackend::setEventHandler(EventHandler handler) {
    state_->eventHandler = handler;
    if (state_->fallback) state_->fallback->setEventHandler(handler);
}

void KGlobalAccelHotKeyBackend::setKeymapChangeHandler(KeymapChangeHandler handler) {
    state_->keymapHandler = handler;
    if (state_->fallback) state_->fallback->setKeymapChangeHandler(handler);
}

void KGlobalAccelHotKeyBackend::setRefusalHandler(RefusalHandler handler) {
    state_->refusalHandler = handler;
    if (state_->fallback) state_->fallback->setRefusalHandler(handler);
}

void KGlobalAccelHotKeyBackend::setNamedHotKeys(std::vector<NamedHotKey> named) {
    if (state_->fallback) state_->fallback->setNamedHotKeys(named);
    if (named == state_->wanted) return;
    state_->wanted = std::move(named);
    state_->postSync();
}

std::optional<std::string> KGlobalAccelHotKeyBackend::triggerDescription(const std::string& name) const {
    return state_->fallback ? state_->fallback->triggerDescription(name) : std::nullopt;
}

void KGlobalAccelHotKeyBackend::setTriggerChangeHandler(TriggerChangeHandler handler) {
    state_->triggerHandler = handler;
    if (state_->fallback) state_->fallback->setTriggerChangeHandler(handler);
}

std::optional<HotKeyBackend::BoundCombination> KGlobalAccelHotKeyBackend::boundCombination(
    const std::string& name) const {
    if (state_->fallback) return state_->fallback->boundCombination(name);
    if (state_->availability != Availability::kglobalaccel) return std::nullopt;
    return state_->bound(name);
}

bool KGlobalAccelHotKeyBackend::isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) {
    State& state = *state_;
    if (state.availability == Availability::fallback) {
        return state.fallback && state.fallback->isHeldElsewhere(carbonKeyCode, carbonModifiers);
    }
    if (state.availability != Availability::kglobalaccel) return false;
    auto key = kdeKeyOf({carbonKeyCode, carbonModifiers}, state.layout.get());
    if (!key) return false;
    sd_bus_message* message = state.shortcutsByKeyCall(*key);
    if (!message) return false;
    sd_bus_message* reply = nullptr;
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(state.options.heldElsewhereTimeout).count();
    int result = sd_bus_call(state.bus->get(), message, static_cast<std::uint64_t>(std::max<std::int64_t>(micros, 1)),
                             nullptr, &reply);
    sd_bus_message_unref(message);
    bool held = result >= 0 && kglobalaccel::otherHolder(reply, state.options.componentName).has_value();
    sd_bus_message_unref(reply);
    // What arrived meanwhile waits in the connection's queue.
    state.bus->pump();
    return held;
}

std::optional<std::int64_t> KGlobalAccelHotKeyBackend::carbonKeyCode(std::uint32_t nativeKeycode) const {
    return state_->nativeKeys ? state_->nativeKeys->carbonKeyCode(nativeKeycode) : std::nullopt;
}

std::int64_t KGlobalAccelHotKeyBackend::carbonModifiers(std::uint32_t nativeState) const {
    return state_->nativeKeys ? state_->nativeKeys->carbonModifiers(nativeState) : 0;
}

bool namesKdeDesktop(const char* currentDesktop) {
    if (!currentDesktop) return false;
    std::string_view list(currentDesktop);
    while (!list.empty()) {
        auto colon = list.find(':');
        auto entry = list.substr(0, colon);
        if (entry.size() == 3 && std::toupper(static_cast<unsigned char>(entry[0])) == 'K' &&
            std::toupper(static_cast<unsigned char>(entry[1])) == 'D' &&
            std::toupper(static_cast<unsigned char>(entry[2])) == 'E') {
            return true;
        }
        if (colon == std::string_view::npos) break;
        list.remove_prefix(colon + 1);
    }
    return false;
}

}  // namespace platform
