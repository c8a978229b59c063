#include "platform/hotkeys/portal_backend_state.hpp"
#include "platform/hotkeys/portal_reports.hpp"
#include "platform/hotkeys/portal_trigger.hpp"
#include "platform/runtime/print.hpp"

namespace asio = boost::asio;

namespace platform {

using namespace portal_detail;

void PortalHotKeyBackend::State::told(const std::string& line) const {
    if (options.tell) return options.tell(line);
    print(line);
}

// The portal refused the session: told once, in the words of what happened; the names stay
// wanted (no key is shown for them) and binding is tried again later.
void PortalHotKeyBackend::State::sessionRefused(const std::string& errorName, const std::string& errorMessage) {
    creating = false;
    if (!refusalTold) {
        refusalTold = true;
        auto report = portal::sessionRefused(errorName, errorMessage);
        if (options.warn) {
            options.warn(report.summary, report.body);
        } else {
            print(report.summary + ". " + report.body);
        }
    }
    scheduleRetry();
    if (rebindWanted && binding != wanted) startBinding();
    rebindWanted = false;
}

void PortalHotKeyBackend::State::scheduleRetry() {
    if (retryPosted) return;
    retryPosted = true;
    if (nextRetry.count() <= 0) nextRetry = options.retryDelay;
    auto delay = nextRetry;
    nextRetry = std::min(nextRetry * 2, longestRetryDelay);
    if (!retryStrand) retryStrand.emplace(asio::make_strand(ioExecutor));
    if (!retryTimer) retryTimer = std::make_shared<asio::steady_timer>(*retryStrand);
    asio::post(*retryStrand, [timer = retryTimer, delay, weak = weak, main = mainExecutor] {
        timer->expires_after(delay);
        timer->async_wait([weak, main](boost::system::error_code error) {
            if (error) return;
            asio::post(main, [weak] {
                if (auto self = weak.lock()) self->retry();
            });
        });
    });
}

void PortalHotKeyBackend::State::retry() {
    retryPosted = false;
    if (availability != Availability::portal || !sessionHandle.empty() || creating || wanted.empty()) return;
    restart();
}

void PortalHotKeyBackend::State::startBinding() {
    // Sessions share their token, so one is made at a time; a change meanwhile waits for it.
    if (creating) {
        rebindWanted = true;
        return;
    }
    ++generation;
    retireOlderThan(generation);
    closeSession();
    binding = wanted;
    refused.clear();
    std::vector<std::string> changed;
    for (const auto& [name, trigger] : triggers) changed.push_back(name);
    triggers.clear();
    held.clear();
    asked.clear();
    if (auto handler = triggerHandler; handler && !changed.empty()) handler(changed);
    if (binding.empty()) return;
    std::string token = nextToken();
    expectedRequest = requestPath(token);
    listen(expectedRequest, portal::requestInterface, "Response", Step::sessionResponse);
    creating = true;
    call(portal::shortcutsInterface, "CreateSession", Step::createSession, [&](sd_bus_message* message) {
        return portal::appendOptionsWithShortcuts(
            message, {{"handle_token", token}, {"session_handle_token", options.sessionToken}}, offers(binding));
    });
}

void PortalHotKeyBackend::State::closeSession() {
    if (sessionHandle.empty()) return;
    closeSessionAt(sessionHandle);
    sessionHandle.clear();
}

void PortalHotKeyBackend::State::closeSessionAt(const std::string& handle) {
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
void PortalHotKeyBackend::State::closeStaleSession(sd_bus_message* response) {
    std::uint32_t code = 2;
    if (sd_bus_message_read_basic(response, SD_BUS_TYPE_UINT32, &code) < 0 || code != 0) return;
    auto handle = portal::readTextOption(response, "session_handle");
    if (handle && *handle != sessionHandle && sd_bus_object_path_is_valid(handle->c_str())) closeSessionAt(*handle);
}

std::string PortalHotKeyBackend::State::descriptionOf(const std::string& name) const {
    auto description = options.descriptions.find(name);
    return description != options.descriptions.end() ? description->second : name;
}

std::vector<portal::ShortcutOffer> PortalHotKeyBackend::State::offers(const std::vector<NamedHotKey>& names) const {
    std::vector<portal::ShortcutOffer> out;
    for (const auto& named : names) {
        out.push_back({named.name, descriptionOf(named.name),
                       portalTrigger(named.carbonKeyCode, named.carbonModifiers)});
    }
    return out;
}

// Takes what the desktop reports it holds for names of the binding.
void PortalHotKeyBackend::State::hold(const std::optional<portal::Triggers>& reported) {
    if (!reported) return;
    for (const auto& named : binding) {
        if (auto found = reported->find(named.name); found != reported->end()) held[named.name] = found->second;
    }
}

std::vector<NamedHotKey> PortalHotKeyBackend::State::lacking() const {
    std::vector<NamedHotKey> out;
    for (const auto& named : binding) {
        if (!held.count(named.name)) out.push_back(named);
    }
    return out;
}

void PortalHotKeyBackend::State::list() {
    std::string token = nextToken();
    expectedRequest = requestPath(token);
    listen(expectedRequest, portal::requestInterface, "Response", Step::listResponse);
    call(portal::shortcutsInterface, "ListShortcuts", Step::listShortcuts, [&](sd_bus_message* message) {
        int result = sd_bus_message_append(message, "o", sessionHandle.c_str());
        return result < 0 ? result : portal::appendStringOptions(message, {{"handle_token", token}});
    });
}

void PortalHotKeyBackend::State::bind() {
    asked = lacking();
    std::string token = nextToken();
    expectedRequest = requestPath(token);
    listen(expectedRequest, portal::requestInterface, "Response", Step::bindResponse);
    call(portal::shortcutsInterface, "BindShortcuts", Step::bindShortcuts, [&](sd_bus_message* message) {
        int result = sd_bus_message_append(message, "o", sessionHandle.c_str());
        if (result >= 0) result = portal::appendShortcuts(message, offers(asked));
        if (result >= 0) result = sd_bus_message_append(message, "s", "");
        return result < 0 ? result : portal::appendStringOptions(message, {{"handle_token", token}});
    });
}

// A request answered under another path than the one listened to (portals from before the
// handle token) is listened to there as well.
void PortalHotKeyBackend::State::followRequest(sd_bus_message* reply, Step responseStep) {
    const char* path = nullptr;
    if (sd_bus_message_read_basic(reply, SD_BUS_TYPE_OBJECT_PATH, &path) < 0 || !path) return;
    if (path == expectedRequest) return;
    listen(path, portal::requestInterface, "Response", responseStep);
    bus->pump();
}

// The names asked for are unbound (all of them when the session itself did not come):
// reported once through the layer like a refused grab. What the desktop already held stays.
void PortalHotKeyBackend::State::failed(Step step, std::int32_t status, const std::pair<std::string, std::string>& error) {
    if (step == Step::registry) return probe();
    if (step == Step::probe) return becomeFallback();
    if (step == Step::listShortcuts || step == Step::listResponse) return bind();
    bool session = step == Step::createSession || step == Step::sessionResponse;
    if (session && status != HotKeyStatus::noAnswer) return sessionRefused(error.first, error.second);
    if (session) creating = false;
    std::set<std::string> names;
    for (const auto& named : session ? binding : asked) names.insert(named.name);
    bound(names, status);
    if (session && rebindWanted && binding != wanted) startBinding();
    if (session) rebindWanted = false;
}

void PortalHotKeyBackend::State::refuse(const std::set<Combination>& combinations, std::int32_t status) {
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

// The binding is settled: the names held are bound, those in `unbound` are refused with
// `status`; others stay unbound without a refusal (the desktop's settings may assign them).
void PortalHotKeyBackend::State::bound(const std::set<std::string>& refusedNames, std::int32_t status) {
    std::set<Combination> unbound;
    std::set<Combination> boundCombinations;
    std::vector<std::string> changed;
    for (const auto& named : binding) {
        auto found = held.find(named.name);
        if (found == held.end()) {
            if (refusedNames.count(named.name)) unbound.insert(combinationOf(named));
            continue;
        }
        boundCombinations.insert(combinationOf(named));
        triggers[named.name] = found->second;
        changed.push_back(named.name);
    }
    // A combination another bound name still prefers keeps its registrations.
    for (const auto& combination : boundCombinations) unbound.erase(combination);
    if (auto handler = triggerHandler; handler && !changed.empty()) handler(changed);
    if (!unbound.empty()) refuse(unbound, status);
}

void PortalHotKeyBackend::State::changedTriggers(const portal::Triggers& reported) {
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

void PortalHotKeyBackend::State::activated(sd_bus_message* message, HotKeyEventKind kind) {
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

void PortalHotKeyBackend::State::handle(Pending& entry, sd_bus_message* message) {
    Step step = entry.step;
    bool current = entry.generation == generation;
    if (!lasting(step)) retire(&entry);
    if (step == Step::signal) return signal(message);
    if (step == Step::ownerChange) return ownerChanged(message);
    if (!current && step != Step::registry && step != Step::probe) {
        if (step == Step::sessionResponse) closeStaleSession(message);
        return;
    }
    bool error = sd_bus_message_is_method_error(message, nullptr) > 0;
    switch (step) {
        case Step::registry:
            if (error) registerFailed(message);
            return probe();
        case Step::probe: return error ? becomeFallback() : becomeAvailable(message);
        case Step::createSession:
            if (error) return failed(step, statusOf(message), errorOf(message));
            return followRequest(message, Step::sessionResponse);
        case Step::listShortcuts:
            if (error) return bind();
            return followRequest(message, Step::listResponse);
        case Step::bindShortcuts:
            if (error) return failed(step, statusOf(message));
            return followRequest(message, Step::bindResponse);
        case Step::sessionResponse:
        case Step::listResponse:
        case Step::bindResponse: return response(step, message);
        case Step::signal:
        case Step::ownerChange: return;
    }
}

// A portal without a registry goes on without one; any other failure is told in one line.
void PortalHotKeyBackend::State::registerFailed(sd_bus_message* reply) {
    auto [name, text] = errorOf(reply);
    // A portal that does not answer is not one that refused: the probe after it tells.
    if (portal::meansNoRegistry(name) || statusOf(reply) == HotKeyStatus::noAnswer || registerTold) return;
    registerTold = true;
    told(portal::notRegistered(options.applicationId, text.empty() ? name : text));
}

void PortalHotKeyBackend::State::response(Step step, sd_bus_message* message) {
    // Whichever path answered, the other listener for this request is done.
    std::vector<Pending*> twins;
    for (auto& entry : pending) {
        if (entry->step == step && entry->generation == generation) twins.push_back(entry.get());
    }
    for (auto* entry : twins) retire(entry);
    std::uint32_t code = 2;
    if (sd_bus_message_read_basic(message, SD_BUS_TYPE_UINT32, &code) < 0 || code != 0) {
        return failed(step, HotKeyStatus::refusedByDesktop,
                      {"", portal::endedWithout(code)});
    }
    auto results = portal::readResults(message).value_or(portal::Results{});
    if (step == Step::sessionResponse) return sessionMade(results);
    hold(results.shortcuts);
    if (step == Step::listResponse) return lacking().empty() ? bound({}) : bind();
    // Bound: what is still lacking was refused, unless the desktop bound nothing at all
    // without refusing (KDE before 6.1 and a front end that does not pass on CreateSession's
    // list): then the desktop's settings can assign the keys.
    bool answeredNothing = !results.shortcuts || results.shortcuts->empty();
    std::set<std::string> refusedNames;
    std::vector<std::string> unassigned;
    for (const auto& named : lacking()) {
        if (answeredNothing) {
            unassigned.push_back(descriptionOf(named.name));
        } else {
            refusedNames.insert(named.name);
        }
    }
    if (!unassigned.empty() && !unassignedTold) {
        unassignedTold = true;
        told(portal::unassigned(unassigned));
    }
    bound(refusedNames);
}

void PortalHotKeyBackend::State::sessionMade(const portal::Results& results) {
    creating = false;
    const auto& handle = results.sessionHandle;
    if (!handle || handle->empty() || !sd_bus_object_path_is_valid(handle->c_str())) {
        return failed(Step::sessionResponse, HotKeyStatus::refusedByDesktop,
                      {"", portal::noSessionNamed()});
    }
    sessionHandle = *handle;
    nextRetry = options.retryDelay;
    if (rebindWanted && binding != wanted) {
        rebindWanted = false;
        return startBinding();
    }
    rebindWanted = false;
    hold(results.shortcuts);
    if (lacking().empty()) return bound({});
    list();
}

void PortalHotKeyBackend::State::signal(sd_bus_message* message) {
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

}  // namespace platform
