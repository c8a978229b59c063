#pragma once
// Reachability from the kernel's routing table: the path is "satisfied" when a default route
// (IPv4 or IPv6) leaves through an interface that is up, has its link running and is not the
// loopback interface. The monitor listens to rtnetlink link, address and route changes on a
// thread of its own and hands every change of the path to the executor it was given.

#include <boost/asio/any_io_executor.hpp>

#include <functional>
#include <memory>
#include <stdexcept>

namespace platform {

struct NetworkPath {
    enum class InterfaceType { wifi, cellular, wiredEthernet };

    bool satisfied = false;
    // The kinds of the interfaces that carry a usable default route.
    bool usesWifi = false;
    bool usesCellular = false;
    bool usesWiredEthernet = false;

    bool usesInterfaceType(InterfaceType type) const;
    bool operator==(const NetworkPath&) const = default;
};

class NetworkPathMonitorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class NetworkPathMonitor {
public:
    using Handler = std::function<void(const NetworkPath&)>;

    // Opens the netlink socket in the network namespace of the calling thread, reads the current
    // path at once (currentPath() is valid on return) and starts the listening thread. `onUpdate`
    // runs on `executor` for every path that differs from the one delivered before; it never runs
    // after the monitor has been destroyed. Throws NetworkPathMonitorError when the kernel refuses
    // the socket.
    NetworkPathMonitor(boost::asio::any_io_executor executor, Handler onUpdate);
    // Stops and joins the listening thread and closes its sockets.
    ~NetworkPathMonitor();
    NetworkPathMonitor(const NetworkPathMonitor&) = delete;
    NetworkPathMonitor& operator=(const NetworkPathMonitor&) = delete;

    // The path as last read from the kernel; safe from any thread.
    NetworkPath currentPath() const;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace platform
