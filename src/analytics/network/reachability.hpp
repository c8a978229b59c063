#pragma once
// Whether the network can be reached, and every change of it. On Linux the flags come from the
// kernel's routing table: reachable and direct while a default route leaves through an interface
// that is up and not the loopback, or, for a service host written as an address, while that
// address has a route (the loopback, a local network). "Wi-Fi" means usable here, whatever the interface's kind.
// Every subscriber receives every change.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/notifications/notification_center.hpp"

namespace platform {
class NetworkPathMonitor;
}

namespace plover {

class ReachabilityError : public std::runtime_error {
public:
    enum class Kind { failedToCreateWithAddress, failedToCreateWithHostname, unableToSetCallback, unableToSetDispatchQueue, unableToGetFlags };
    ReachabilityError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Where the flags come from.
class ReachabilityFlagSource {
public:
    using Listener = std::function<void(std::uint32_t flags)>;
    virtual ~ReachabilityFlagSource() = default;
    // The flags now; nothing when they cannot be read.
    virtual std::optional<std::uint32_t> readFlags() = 0;
    // Delivers every change to `listener` until stop(); throws ReachabilityError when it cannot.
    virtual void start(Listener listener) = 0;
    virtual void stop() = 0;
};

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Flags = std::uint32_t;
    static constexpr Flags transientConnection = 0x1;
    static constexpr Flags reachable = 0x2;
    static constexpr Flags connectionRequired = 0x4;
    static constexpr Flags connectionOnTraffic = 0x8;
    static constexpr Flags interventionRequired = 0x10;
    static constexpr Flags connectionOnDemand = 0x20;
    static constexpr Flags isLocalAddress = 0x10000;
    static constexpr Flags isDirect = 0x20000;

    enum class Connection { unavailable, wifi, cellular };
    enum class NetworkStatus { notReachable, reachableViaWiFi, reachableViaWWAN };
    static std::string_view description(Connection connection);
    static std::string_view description(NetworkStatus status);

    using Handler = std::function<void(Reachability&)>;

    // Handlers and the "reachabilityChanged" notification run on `notificationQueue`, or at once on
    // the thread that saw the change when there is none.
    static std::shared_ptr<Reachability> create(std::unique_ptr<ReachabilityFlagSource> source,
                                                std::optional<boost::asio::any_io_executor> notificationQueue,
                                                platform::NotificationCenter& center =
                                                    platform::NotificationCenter::defaultCenter());
    // On the kernel's routing table; path changes are read on a strand of `background`.
    static std::shared_ptr<Reachability> forDefaultRoute(boost::asio::any_io_executor background,
                                                         std::optional<boost::asio::any_io_executor> notificationQueue);
    // For the service at `hostName`: reachable while the default route is, and also without one
    // while a host written as an address ("127.0.0.1", "[::1]", "localhost", one on a local
    // network) has a route. `routes` stands in for the routing table's default route (tests).
    static std::shared_ptr<Reachability> forHost(const std::string& hostName, boost::asio::any_io_executor background,
                                                 std::optional<boost::asio::any_io_executor> notificationQueue,
                                                 std::unique_ptr<ReachabilityFlagSource> routes = nullptr);
    ~Reachability();

    // One subscriber's handlers; unsubscribes when destroyed.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&&) noexcept = default;
        Subscription& operator=(Subscription&&) noexcept = default;
        ~Subscription() { reset(); }
        void reset();

    private:
        friend class Reachability;
        std::weak_ptr<Reachability> owner_;
        std::shared_ptr<void> entry_;
    };
    [[nodiscard]] Subscription subscribe(Handler whenReachable, Handler whenUnreachable);

    std::atomic<bool> allowsCellularConnection{true};

    Connection connection();
    NetworkStatus currentReachabilityStatus() { return connection() == Connection::wifi ? NetworkStatus::reachableViaWiFi : NetworkStatus::notReachable; }
    std::string currentReachabilityString() { return std::string(description(connection())); }
    std::optional<Flags> flags() const;

    // Starts delivering changes; a running notifier is left as it is. Throws ReachabilityError.
    void beginNotifier();
    void endNotifier();
    bool notifierRunning() const { return running_; }

    // "-R ------d" for a reachable, direct connection.
    static std::string flagsText(Flags flags);
    static bool isUsable(Flags flags);

private:
    Reachability(std::unique_ptr<ReachabilityFlagSource> source, std::optional<boost::asio::any_io_executor> queue,
                 platform::NotificationCenter& center);
    void refreshFlags();
    void onFlags(Flags flags);
    void announceChange();

    struct Entry {
        Handler whenReachable;
        Handler whenUnreachable;
    };
    std::unique_ptr<ReachabilityFlagSource> source_;
    std::optional<boost::asio::any_io_executor> notificationQueue_;
    platform::NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::optional<Flags> flags_;
    std::list<std::weak_ptr<Entry>> subscribers_;
    std::atomic<bool> running_{false};
};

}  // namespace plover
