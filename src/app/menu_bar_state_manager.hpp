#pragma once
// Holds the menu's state and refreshes it from the backend's usage counts, announcing fresh counts
// with the "usageUpdated" notification. Confined to the main executor.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <chrono>
#include <functional>
#include <memory>

#include "app/menu_bar_state.hpp"
#include "app/usage_response.hpp"
#include "platform/runtime/tracked.hpp"

namespace platform {
class NotificationCenter;
}

namespace kestro {

class NetworkService;

// Posted with the user-info entry "usage" holding a UsageResponse.
inline constexpr const char* usageUpdatedNotification = "usageUpdated";

// The usage query of the refresh: GET "usage" answering {"used": n, "total": n}.
boost::asio::awaitable<UsageResponse> fetchUsage(const NetworkService& network);

class MenuBarStateManager {
public:
    using UsageFetch = std::function<boost::asio::awaitable<UsageResponse>()>;

    // `mainExecutor` runs the refresh and owns `currentState`; the retry timer runs on
    // `timerExecutor`. `fetch` asks the backend for the counts (normally fetchUsage()).
    MenuBarStateManager(boost::asio::any_io_executor mainExecutor, boost::asio::any_io_executor timerExecutor,
                        UsageFetch fetch, platform::NotificationCenter& notifications,
                        std::chrono::steady_clock::duration retryDelay = std::chrono::seconds(5));
    // Cancels a running refresh; it sets no state afterwards.
    ~MenuBarStateManager();
    MenuBarStateManager(const MenuBarStateManager&) = delete;
    MenuBarStateManager& operator=(const MenuBarStateManager&) = delete;

    platform::Tracked<MenuBarState> currentState{MenuBarState::connecting};
    // True while the last usage query of the running refresh failed for want of a stored
    // credential (NetworkService::NetworkError missingCredential); false after any other outcome.
    platform::Tracked<bool> isCredentialMissing{false};
    // True while the last usage query of the running refresh was refused with 401 or 403 (the
    // stored credential is wrong or revoked); false after any other outcome.
    platform::Tracked<bool> isCredentialRejected{false};

    // Returns at once. Cancels the running refresh and starts a new one that shows `connecting`,
    // asks for the counts until it has them (waiting the retry delay after each failure), then
    // posts "usageUpdated" and shows `callsAvailable` (used < total) or `callsUsedUp`.
    // Call on the main executor.
    void refreshState();

private:
    struct Refresh;
    static boost::asio::awaitable<void> refresh(std::weak_ptr<Refresh> self, UsageFetch fetch);

    boost::asio::any_io_executor mainExecutor_;
    boost::asio::any_io_executor timerExecutor_;
    UsageFetch fetch_;
    platform::NotificationCenter* notifications_;
    std::chrono::steady_clock::duration retryDelay_;
    // The running refresh; a superseded one finds its own no longer here and stops.
    std::shared_ptr<Refresh> validationTask_;
};

}  // namespace kestro
