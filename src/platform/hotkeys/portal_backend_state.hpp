#pragma once
// The portal backend's state, shared by the file that talks to the bus and starts up
// (portal_hot_key_backend.cpp) and the one that binds shortcuts and routes the desktop's
// answers and signals (portal_binding.cpp). Main executor only.

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <algorithm>
#include <functional>
#include <list>
#include <optional>
#include <set>

#include "platform/dbus/sd_bus_connection.hpp"
#include "platform/hotkeys/portal_hot_key_backend.hpp"
#include "platform/hotkeys/portal_messages.hpp"

namespace platform {
namespace portal_detail {

using Combination = std::pair<std::uint32_t, std::uint32_t>;

inline Combination combinationOf(const NamedHotKey& named) { return {named.carbonKeyCode, named.carbonModifiers}; }

// The status a failed call is reported with.
inline std::int32_t statusOf(sd_bus_message* reply) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (error && (sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT) || sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY))) {
        return HotKeyStatus::noAnswer;
    }
    return HotKeyStatus::refusedByDesktop;
}

inline std::pair<std::string, std::string> errorOf(sd_bus_message* reply) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (!error) return {};
    return {error->name ? error->name : "", error->message ? error->message : ""};
}

inline constexpr std::chrono::milliseconds longestRetryDelay = std::chrono::minutes(10);

}  // namespace portal_detail

struct PortalHotKeyBackend::State {
    using Combination = portal_detail::Combination;
    enum class Step {
        registry,
        probe,
        createSession,
        sessionResponse,
        listShortcuts,
        listResponse,
        bindShortcuts,
        bindResponse,
        signal,
        ownerChange
    };
    static bool lasting(Step step) { return step == Step::signal || step == Step::ownerChange; }

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
    boost::asio::any_io_executor mainExecutor;
    boost::asio::any_io_executor ioExecutor;
    Options options;
    std::shared_ptr<HotKeyBackend> fallback;
    std::shared_ptr<SdBusConnection> bus;
    std::weak_ptr<State> weak;
    Availability availability = Availability::probing;
    std::map<std::uint64_t, Registration> registrations;
    std::vector<NamedHotKey> wanted;   // as last told
    std::vector<NamedHotKey> binding;  // what the current session binds
    std::map<std::string, std::string> triggers;  // names bound, with what triggers them
    portal::Triggers held;             // what the desktop said it holds for the binding so far
    std::vector<NamedHotKey> asked;    // what BindShortcuts asked for
    std::set<Combination> refused;                // by the current binding
    std::string sessionHandle;
    std::string senderElement;
    std::string expectedRequest;  // the path of the request made last
    std::uint64_t generation = 0;
    std::uint64_t lastToken = 0;
    bool rebindPosted = false;
    bool creating = false;       // a session is being made (one at a time: they share a token)
    bool rebindWanted = false;   // the names changed meanwhile
    bool listening = false;
    bool refusalTold = false;
    bool unassignedTold = false;
    bool registerTold = false;
    bool retryPosted = false;
    std::chrono::milliseconds nextRetry{0};
    // The retry timer lives on a strand of the I/O executor; only its expiry reaches the main one.
    std::optional<boost::asio::strand<boost::asio::any_io_executor>> retryStrand;
    std::shared_ptr<boost::asio::steady_timer> retryTimer;
    std::list<std::unique_ptr<Pending>> pending;
    std::vector<std::unique_ptr<Pending>> retired;
    bool cleanupPosted = false;
    EventHandler eventHandler;
    KeymapChangeHandler keymapHandler;
    RefusalHandler refusalHandler;
    TriggerChangeHandler triggerHandler;

    ~State() {
        if (retryTimer) boost::asio::post(*retryStrand, [timer = retryTimer] { timer->cancel(); });
        for (auto& entry : pending) sd_bus_slot_unref(entry->slot);
        for (auto& entry : retired) sd_bus_slot_unref(entry->slot);
        pending.clear();
        retired.clear();
    }

    // Pending entries are let go outside sd-bus's callbacks (one of them may be running).
    void retire(Pending* entry);
    void retireOlderThan(std::uint64_t current);
    Pending* track(Step step);
    static int onMessage(sd_bus_message* message, void* userdata, sd_bus_error*);

    // Calls `member` on the portal with the arguments `fill` appends; the reply reaches handle()
    // as `step`.
    void call(const char* interface, const char* member, Step step, const std::function<int(sd_bus_message*)>& fill);

    // Listens for a signal of the portal; request paths are listened to before the request is made.
    void listen(const std::string& path, const char* interface, const char* member, Step step);
    std::string requestPath(const std::string& token) const;
    std::string nextToken() { return "kestro" + std::to_string(++lastToken); }

    // Start-up

    void start();
    void probe();
    void becomeAvailable(sd_bus_message* reply);

    // A new front end (a restart) knows none of the old sessions: everything is asked anew.
    void watchPortalOwner();
    void ownerChanged(sd_bus_message* message);
    void restart();
    void told(const std::string& line) const;

    // The portal refused the session: told once, in the words of what happened; the names stay
    // wanted (no key is shown for them) and binding is tried again later.
    void sessionRefused(const std::string& errorName, const std::string& errorMessage);
    void scheduleRetry();
    void retry();

    // No portal with global shortcuts: said once, and the fallback takes every registration.
    void becomeFallback();

    // Binding: a new session for the names wanted now, the old one closed.

    void postRebind();
    void startBinding();
    void closeSession();
    void closeSessionAt(const std::string& handle);

    // A session that was created after a newer binding had begun is not needed.
    void closeStaleSession(sd_bus_message* response);
    std::string descriptionOf(const std::string& name) const;
    std::vector<portal::ShortcutOffer> offers(const std::vector<NamedHotKey>& names) const;

    // Takes what the desktop reports it holds for names of the binding.
    void hold(const std::optional<portal::Triggers>& reported);
    std::vector<NamedHotKey> lacking() const;
    void list();
    void bind();

    // A request answered under another path than the one listened to (portals from before the
    // handle token) is listened to there as well.
    void followRequest(sd_bus_message* reply, Step responseStep);

    // The names asked for are unbound (all of them when the session itself did not come):
    // reported once through the layer like a refused grab. What the desktop already held stays.
    void failed(Step step, std::int32_t status, const std::pair<std::string, std::string>& error = {});
    void refuse(const std::set<Combination>& combinations, std::int32_t status);

    // The binding is settled: the names held are bound, those in `unbound` are refused with
    // `status`; others stay unbound without a refusal (the desktop's settings may assign them).
    void bound(const std::set<std::string>& refusedNames, std::int32_t status = HotKeyStatus::refusedByDesktop);
    void changedTriggers(const portal::Triggers& reported);
    void activated(sd_bus_message* message, HotKeyEventKind kind);
    void handle(Pending& entry, sd_bus_message* message);

    // A portal without a registry goes on without one; any other failure is told in one line.
    void registerFailed(sd_bus_message* reply);
    void response(Step step, sd_bus_message* message);
    void sessionMade(const portal::Results& results);
    void signal(sd_bus_message* message);
};

}  // namespace platform
