#include "app/menu_bar_state_manager.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <optional>

#include "app/network_service.hpp"
#include "platform/notifications/notification_center.hpp"

namespace kestro {

namespace asio = boost::asio;

struct MenuBarStateManager::Refresh {
    MenuBarStateManager* owner;
    asio::cancellation_signal signal;
    bool finished = false;

    // Cancels the coroutine if it still runs. The coroutine's cancellation handler delivers the
    // cancellation through the executor, so this object is kept until that delivery has run.
    static void cancel(std::shared_ptr<Refresh> refresh, const asio::any_io_executor& executor) {
        refresh->owner = nullptr;
        if (refresh->finished) return;
        refresh->signal.emit(asio::cancellation_type::terminal);
        asio::post(executor, [keep = std::move(refresh)] {});
    }

    // The owner is gone or a newer refresh replaced this one.
    bool superseded() const { return owner == nullptr || owner->validationTask_.get() != this; }
};

asio::awaitable<UsageResponse> fetchUsage(const NetworkService& network) {
    // Named rather than temporary: g++ 12 mishandles braced temporaries inside co_await.
    BackendRequest request{"usage", HTTPMethod::get, 30, true, std::nullopt};
    BackendReply reply = co_await network.request(std::move(request));
    co_return decodeUsageResponse(reply.body);
}

MenuBarStateManager::MenuBarStateManager(asio::any_io_executor mainExecutor, asio::any_io_executor timerExecutor,
                                         UsageFetch fetch, platform::NotificationCenter& notifications,
                                         std::chrono::steady_clock::duration retryDelay)
    : mainExecutor_(std::move(mainExecutor)),
      timerExecutor_(std::move(timerExecutor)),
      fetch_(std::move(fetch)),
      notifications_(&notifications),
      retryDelay_(retryDelay) {}

MenuBarStateManager::~MenuBarStateManager() {
    if (auto running = std::move(validationTask_)) Refresh::cancel(std::move(running), mainExecutor_);
}

void MenuBarStateManager::refreshState() {
    auto previous = std::move(validationTask_);
    auto next = std::make_shared<Refresh>();
    next->owner = this;
    validationTask_ = next;
    if (previous) Refresh::cancel(std::move(previous), mainExecutor_);
    // The completion handler keeps the signal alive as long as the coroutine may use its slot.
    asio::co_spawn(mainExecutor_, refresh(next, fetch_),
                   asio::bind_cancellation_slot(next->signal.slot(), [next](std::exception_ptr) { next->finished = true; }));
}

asio::awaitable<void> MenuBarStateManager::refresh(std::weak_ptr<Refresh> weak, UsageFetch fetch) {
    // After every suspension: stop when this refresh no longer counts.
    auto current = [&weak]() -> MenuBarStateManager* {
        auto self = weak.lock();
        return self && !self->superseded() ? self->owner : nullptr;
    };
    auto* owner = current();
    if (!owner) co_return;
    owner->currentState = MenuBarState::connecting;
    while (true) {
        std::optional<UsageResponse> usage;
        bool credentialMissing = false;
        bool credentialRejected = false;
        try {
            usage = co_await fetch();
        } catch (const NetworkService::NetworkError& error) {
            using Kind = NetworkService::NetworkError::Kind;
            credentialMissing = error.kind() == Kind::missingCredential;
            credentialRejected = error.kind() == Kind::httpError && (error.status() == 401 || error.status() == 403);
        } catch (const std::exception&) {
            // Retried below.
        }
        owner = current();
        if (!owner) co_return;
        owner->isCredentialMissing = credentialMissing;
        owner = current();  // an observer may have started another refresh
        if (!owner) co_return;
        owner->isCredentialRejected = credentialRejected;
        owner = current();
        if (!owner) co_return;
        if (usage) {
            owner->notifications_->post(usageUpdatedNotification, {{"usage", *usage}});
            owner = current();  // an observer may have started another refresh
            if (!owner) co_return;
            owner->currentState = usage->used < usage->total ? MenuBarState::callsAvailable : MenuBarState::callsUsedUp;
            co_return;
        }
        asio::steady_timer timer(owner->timerExecutor_, owner->retryDelay_);
        try {
            co_await timer.async_wait(asio::use_awaitable);
        } catch (const std::exception&) {
            co_return;  // cancelled
        }
        owner = current();
        if (!owner) co_return;
    }
}

}  // namespace kestro
