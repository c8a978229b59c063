#include "analytics/network/reachability.hpp"

#include <boost/asio/post.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/network/network_path_monitor.hpp"

namespace plover {

namespace {

// The routing table as flags: reachable and direct while a usable default route exists.
class DefaultRouteSource : public ReachabilityFlagSource {
public:
    explicit DefaultRouteSource(boost::asio::any_io_executor background)
        : serial_(boost::asio::make_strand(std::move(background))) {}

    static Reachability::Flags flagsFor(const platform::NetworkPath& path) {
        return path.satisfied ? Reachability::reachable | Reachability::isDirect : 0;
    }

    std::optional<std::uint32_t> readFlags() override {
        std::lock_guard lock(mutex_);
        try {
            if (monitor_) return flagsFor(monitor_->currentPath());
            platform::NetworkPathMonitor once(serial_, [](const platform::NetworkPath&) {});
            return flagsFor(once.currentPath());
        } catch (const platform::NetworkPathMonitorError&) {
            return std::nullopt;
        }
    }

    void start(Listener listener) override {
        std::lock_guard lock(mutex_);
        try {
            monitor_ = std::make_unique<platform::NetworkPathMonitor>(
                serial_, [listener](const platform::NetworkPath& path) { listener(flagsFor(path)); });
        } catch (const platform::NetworkPathMonitorError& error) {
            throw ReachabilityError(ReachabilityError::Kind::unableToSetCallback, error.what());
        }
    }

    void stop() override {
        std::unique_ptr<platform::NetworkPathMonitor> stopping;
        {
            std::lock_guard lock(mutex_);
            stopping = std::move(monitor_);
        }
    }

private:
    boost::asio::any_io_executor serial_;
    std::mutex mutex_;
    std::unique_ptr<platform::NetworkPathMonitor> monitor_;
};

// The address a host name writes literally ("localhost" standing for the loopback); nothing for
// a name that would have to be looked up.
std::optional<sockaddr_storage> literalAddress(std::string name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    if (name == "localhost" || (name.size() > 10 && name.ends_with(".localhost"))) name = "127.0.0.1";
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(9);
        return address;
    }
    if (::inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(9);
        return address;
    }
    return std::nullopt;
}

// Whether the kernel has a route to `address`: connecting a datagram socket picks the route and
// sends nothing.
bool hasRoute(const sockaddr_storage& address) {
    int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    socklen_t length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    bool routed = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return routed;
}

// The flags for one host: those of the underlying source (the default route), and reachable and
// direct besides while a host written as an address has a route of its own (the loopback, a
// local network), default route or not.
class HostRouteSource : public ReachabilityFlagSource {
public:
    HostRouteSource(std::unique_ptr<ReachabilityFlagSource> routes, std::optional<sockaddr_storage> host)
        : routes_(std::move(routes)), host_(host) {}

    std::optional<std::uint32_t> readFlags() override { return combine(routes_->readFlags()); }
    void start(Listener listener) override {
        routes_->start([this, listener](std::uint32_t flags) { listener(*combine(flags)); });
    }
    void stop() override { routes_->stop(); }

private:
    std::optional<std::uint32_t> combine(std::optional<std::uint32_t> flags) const {
        if (!host_ || !hasRoute(*host_)) return flags;
        return flags.value_or(0) | Reachability::reachable | Reachability::isDirect;
    }

    std::unique_ptr<ReachabilityFlagSource> routes_;
    std::optional<sockaddr_storage> host_;
};

}  // namespace

std::string_view Reachability::description(Connection connection) {
    switch (connection) {
        case Connection::wifi: return "WiFi";
        case Connection::cellular: return "Cellular";
        case Connection::unavailable: break;
    }
    return "No Connection";
}

std::string_view Reachability::description(NetworkStatus status) {
    switch (status) {
        case NetworkStatus::reachableViaWiFi: return "WiFi";
        case NetworkStatus::reachableViaWWAN: return "Cellular";
        case NetworkStatus::notReachable: break;
    }
    return "No Connection";
}

Reachability::Reachability(std::unique_ptr<ReachabilityFlagSource> source,
                           std::optional<boost::asio::any_io_executor> queue, platform::NotificationCenter& center)
    : source_(std::move(source)), notificationQueue_(std::move(queue)), center_(center) {}

std::shared_ptr<Reachability> Reachability::create(std::unique_ptr<ReachabilityFlagSource> source,
                                                   std::optional<boost::asio::any_io_executor> notificationQueue,
                                                   platform::NotificationCenter& center) {
    return std::shared_ptr<Reachability>(new Reachability(std::move(source), std::move(notificationQueue), center));
}

std::shared_ptr<Reachability> Reachability::forDefaultRoute(boost::asio::any_io_executor background,
                                                            std::optional<boost::asio::any_io_executor> notificationQueue) {
    return create(std::make_unique<DefaultRouteSource>(std::move(background)), std::move(notificationQueue));
}

std::shared_ptr<Reachability> Reachability::forHost(const std::string& hostName, boost::asio::any_io_executor background,
                                                    std::optional<boost::asio::any_io_executor> notificationQueue,
                                                    std::unique_ptr<ReachabilityFlagSource> routes) {
    if (!routes) routes = std::make_unique<DefaultRouteSource>(std::move(background));
    return create(std::make_unique<HostRouteSource>(std::move(routes), literalAddress(hostName)),
                  std::move(notificationQueue));
}

Reachability::~Reachability() {
    if (running_) source_->stop();
}

bool Reachability::isUsable(Flags flags) {
    if (!(flags & reachable)) return false;
    if (!(flags & connectionRequired)) return true;
    return (flags & (connectionOnTraffic | connectionOnDemand)) && !(flags & interventionRequired);
}

std::optional<Reachability::Flags> Reachability::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

Reachability::Connection Reachability::connection() {
    if (!flags()) {
        if (auto read = source_->readFlags()) onFlags(*read);
    }
    auto current = flags();
    return current && isUsable(*current) ? Connection::wifi : Connection::unavailable;
}

void Reachability::refreshFlags() {
    auto read = source_->readFlags();
    if (!read) {
        endNotifier();
        throw ReachabilityError(ReachabilityError::Kind::unableToGetFlags, "the network state cannot be read");
    }
    onFlags(*read);
}

void Reachability::beginNotifier() {
    if (running_.exchange(true)) return;
    std::weak_ptr<Reachability> weak = weak_from_this();
    try {
        source_->start([weak](Flags flags) {
            if (auto self = weak.lock()) self->onFlags(flags);
        });
        refreshFlags();
    } catch (...) {
        endNotifier();
        throw;
    }
}

void Reachability::endNotifier() {
    source_->stop();
    running_ = false;
}

void Reachability::onFlags(Flags flags) {
    bool changed;
    {
        std::lock_guard lock(mutex_);
        changed = !flags_ || *flags_ != flags;
        flags_ = flags;
    }
    if (changed) announceChange();
}

void Reachability::announceChange() {
    std::weak_ptr<Reachability> weak = weak_from_this();
    auto step = [weak] {
        auto self = weak.lock();
        if (!self) return;
        bool usable = self->connection() == Connection::wifi;
        std::vector<std::shared_ptr<Entry>> entries;
        {
            std::lock_guard lock(self->mutex_);
            for (auto& entry : self->subscribers_) {
                if (auto alive = entry.lock()) entries.push_back(std::move(alive));
            }
        }
        for (auto& entry : entries) {
            auto& handler = usable ? entry->whenReachable : entry->whenUnreachable;
            if (handler) handler(*self);
        }
        self->center_.post("reachabilityChanged", {{"object", self}});
    };
    if (notificationQueue_) {
        boost::asio::post(*notificationQueue_, std::move(step));
    } else {
        step();
    }
}

Reachability::Subscription Reachability::subscribe(Handler whenReachable, Handler whenUnreachable) {
    auto entry = std::make_shared<Entry>(Entry{std::move(whenReachable), std::move(whenUnreachable)});
    bool known;
    {
        std::lock_guard lock(mutex_);
        subscribers_.remove_if([](auto& weak) { return weak.expired(); });
        subscribers_.push_back(entry);
        known = flags_.has_value();
    }
    // A subscriber that comes after the first read learns the state it missed.
    if (known) {
        std::weak_ptr<Reachability> weak = weak_from_this();
        std::weak_ptr<Entry> weakEntry = entry;
        auto step = [weak, weakEntry] {
            auto self = weak.lock();
            auto alive = weakEntry.lock();
            if (!self || !alive) return;
            auto& handler = self->connection() == Connection::wifi ? alive->whenReachable : alive->whenUnreachable;
            if (handler) handler(*self);
        };
        if (notificationQueue_) {
            boost::asio::post(*notificationQueue_, std::move(step));
        } else {
            step();
        }
    }
    Subscription subscription;
    subscription.owner_ = weak_from_this();
    subscription.entry_ = std::move(entry);
    return subscription;
}

void Reachability::Subscription::reset() {
    entry_.reset();
    owner_.reset();
}

std::string Reachability::flagsText(Flags flags) {
    auto bit = [flags](Flags mask, char letter) { return (flags & mask) ? letter : '-'; };
    std::string text;
    text += '-';
    text += bit(reachable, 'R');
    text += ' ';
    text += bit(connectionRequired, 'c');
    text += bit(transientConnection, 't');
    text += bit(interventionRequired, 'i');
    text += bit(connectionOnTraffic, 'C');
    text += bit(connectionOnDemand, 'D');
    text += bit(isLocalAddress, 'l');
    text += bit(isDirect, 'd');
    return text;
}

}  // namespace plover
