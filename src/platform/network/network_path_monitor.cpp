#include "platform/network/network_path_monitor.hpp"

#include <boost/asio/post.hpp>

#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform {

bool NetworkPath::usesInterfaceType(InterfaceType type) const {
    switch (type) {
        case InterfaceType::wifi: return usesWifi;
        case InterfaceType::cellular: return usesCellular;
        case InterfaceType::wiredEthernet: return usesWiredEthernet;
    }
    return false;
}

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

Fd openNetlink(unsigned groups) {
    Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) throw NetworkPathMonitorError(std::string("netlink socket: ") + std::strerror(errno));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw NetworkPathMonitorError(std::string("netlink bind: ") + std::strerror(errno));
    }
    return fd;
}

struct Link {
    unsigned flags = 0;
    unsigned short type = 0;
    std::string name;
};

// One request/dump exchange on a netlink socket; calls `onMessage` for every reply message.
template <class F>
bool dump(int fd, std::uint16_t type, unsigned char family, std::uint32_t seq, F&& onMessage) {
    struct {
        nlmsghdr header;
        union {
            ifinfomsg link;
            rtmsg route;
        } body;
    } request{};
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    if (type == RTM_GETLINK) {
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        request.body.link.ifi_family = family;
    } else {
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        request.body.route.rtm_family = family;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool interrupted = false;
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        int remaining = static_cast<int>(n);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_seq != seq) continue;
            if (header->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
            if (header->nlmsg_type == NLMSG_DONE) return !interrupted;
            if (header->nlmsg_type == NLMSG_ERROR) return false;
            onMessage(header);
        }
    }
}

std::map<int, Link> readLinks(int fd, std::uint32_t seq) {
    std::map<int, Link> links;
    bool ok = dump(fd, RTM_GETLINK, AF_UNSPEC, seq, [&](nlmsghdr* header) {
        if (header->nlmsg_type != RTM_NEWLINK) return;
        auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(header));
        Link link{info->ifi_flags, info->ifi_type, {}};
        int length = static_cast<int>(IFLA_PAYLOAD(header));
        for (auto* attribute = IFLA_RTA(info); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
            if (attribute->rta_type == IFLA_IFNAME) {
                link.name.assign(static_cast<const char*>(RTA_DATA(attribute)),
                                 ::strnlen(static_cast<const char*>(RTA_DATA(attribute)), RTA_PAYLOAD(attribute)));
            }
        }
        links[info->ifi_index] = std::move(link);
    });
    if (!ok) throw NetworkPathMonitorError("netlink link dump failed");
    return links;
}

// Output interfaces of the default unicast routes of one address family.
std::set<int> readDefaultRouteInterfaces(int fd, unsigned char family, std::uint32_t seq) {
    std::set<int> interfaces;
    bool ok = dump(fd, RTM_GETROUTE, family, seq, [&](nlmsghdr* header) {
        if (header->nlmsg_type != RTM_NEWROUTE) return;
        auto* route = static_cast<rtmsg*>(NLMSG_DATA(header));
        if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
        std::uint32_t table = route->rtm_table;
        int length = static_cast<int>(RTM_PAYLOAD(header));
        std::vector<int> outputs;
        for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
            if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(std::uint32_t)) {
                std::memcpy(&table, RTA_DATA(attribute), sizeof table);
            } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
                int index = 0;
                std::memcpy(&index, RTA_DATA(attribute), sizeof index);
                outputs.push_back(index);
            } else if (attribute->rta_type == RTA_MULTIPATH) {
                auto* hop = static_cast<rtnexthop*>(RTA_DATA(attribute));
                int hopsLength = static_cast<int>(RTA_PAYLOAD(attribute));
                while (RTNH_OK(hop, hopsLength)) {
                    if (!(hop->rtnh_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN))) outputs.push_back(hop->rtnh_ifindex);
                    hopsLength -= static_cast<int>(RTNH_ALIGN(hop->rtnh_len));
                    hop = RTNH_NEXT(hop);
                }
            }
        }
        if (table == RT_TABLE_LOCAL) return;
        interfaces.insert(outputs.begin(), outputs.end());
    });
    if (!ok) throw NetworkPathMonitorError("netlink route dump failed");
    return interfaces;
}

bool exists(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

std::string deviceType(const std::string& name) {
    std::ifstream uevent("/sys/class/net/" + name + "/uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line.rfind("DEVTYPE=", 0) == 0) return line.substr(8);
    }
    return {};
}

NetworkPath readPath(int fd, std::uint32_t& seq) {
    auto links = readLinks(fd, ++seq);
    auto defaults = readDefaultRouteInterfaces(fd, AF_INET, ++seq);
    auto defaults6 = readDefaultRouteInterfaces(fd, AF_INET6, ++seq);
    defaults.insert(defaults6.begin(), defaults6.end());

    NetworkPath path;
    for (int index : defaults) {
        auto found = links.find(index);
        if (found == links.end()) continue;
        const Link& link = found->second;
        if ((link.flags & IFF_LOOPBACK) || !(link.flags & IFF_UP) || !(link.flags & IFF_RUNNING)) continue;
        path.satisfied = true;
        const std::string base = "/sys/class/net/" + link.name;
        const std::string type = deviceType(link.name);
        if (type == "wlan" || exists(base + "/wireless") || exists(base + "/phy80211")) {
            path.usesWifi = true;
        } else if (type == "wwan" || link.type == ARPHRD_RAWIP || link.type == ARPHRD_PPP) {
            path.usesCellular = true;
        } else if (link.type == ARPHRD_ETHER) {
            path.usesWiredEthernet = true;
        }
    }
    return path;
}

}  // namespace

struct NetworkPathMonitor::Core {
    boost::asio::any_io_executor executor;
    Fd events;   // subscribed to link, address and route changes
    Fd queries;  // used for the dumps
    Fd wake;     // eventfd that stops the thread
    std::uint32_t seq = 0;
    std::thread thread;

    mutable std::mutex pathMutex;
    NetworkPath path;
    NetworkPath delivered;

    // Shared with the work posted to the executor, so that it can tell whether the monitor is gone.
    struct Delivery {
        std::mutex mutex;
        bool alive = true;
        Handler handler;
    };
    std::shared_ptr<Delivery> delivery = std::make_shared<Delivery>();

    void run();
    void refresh();
};

void NetworkPathMonitor::Core::refresh() {
    NetworkPath fresh;
    try {
        fresh = readPath(queries.get(), seq);
    } catch (const NetworkPathMonitorError&) {
        return;  // keep the last known path; the next change notification reads again
    }
    {
        std::lock_guard lock(pathMutex);
        path = fresh;
        if (fresh == delivered) return;
        delivered = fresh;
    }
    boost::asio::post(executor, [weak = std::weak_ptr(delivery), fresh] {
        auto target = weak.lock();
        if (!target) return;
        std::lock_guard lock(target->mutex);
        if (target->alive && target->handler) target->handler(fresh);
    });
}

void NetworkPathMonitor::Core::run() {
    std::array<pollfd, 2> fds{pollfd{events.get(), POLLIN, 0}, pollfd{wake.get(), POLLIN, 0}};
    std::vector<char> buffer(1 << 16);
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & (POLLIN | POLLERR))) continue;
        // Drain everything queued (an overrun, ENOBUFS, only means a fresh read is due anyway).
        for (;;) {
            ssize_t n = ::recv(events.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != ENOBUFS) break;
        }
        refresh();
    }
}

NetworkPathMonitor::NetworkPathMonitor(boost::asio::any_io_executor executor, Handler onUpdate)
    : core_(std::make_shared<Core>()) {
    core_->executor = std::move(executor);
    core_->delivery->handler = std::move(onUpdate);
    // Subscribe before the first read so that no change between the two is missed.
    core_->events = openNetlink(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                                RTMGRP_IPV6_ROUTE);
    core_->queries = openNetlink(0);
    core_->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (core_->wake.get() < 0) throw NetworkPathMonitorError(std::string("eventfd: ") + std::strerror(errno));
    auto initial = readPath(core_->queries.get(), core_->seq);
    core_->path = initial;
    core_->delivered = initial;
    core_->thread = std::thread([core = core_.get()] { core->run(); });
}

NetworkPathMonitor::~NetworkPathMonitor() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(core_->wake.get(), &one, sizeof one);
    if (core_->thread.joinable()) core_->thread.join();
    std::lock_guard lock(core_->delivery->mutex);
    core_->delivery->alive = false;
    core_->delivery->handler = nullptr;
}

NetworkPath NetworkPathMonitor::currentPath() const {
    std::lock_guard lock(core_->pathMutex);
    return core_->path;
}

}  // namespace platform
