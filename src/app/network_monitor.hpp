#pragma once
// Process-wide observer of network reachability for the start checks of a call. The published
// fields live on the main executor and follow the path updates of the rtnetlink monitor.

#include "platform/network/network_path_monitor.hpp"
#include "platform/runtime/tracked.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <optional>

namespace kestro {

class NetworkMonitor {
public:
    using InterfaceType = platform::NetworkPath::InterfaceType;

    // The one instance, made on first use with the given main executor; later calls return the
    // same instance for as long as somebody holds it. Thread-safe.
    static std::shared_ptr<NetworkMonitor> shared(boost::asio::any_io_executor main);

    // Reads the current path at once: `isConnected` is valid on return. Throws
    // platform::NetworkPathMonitorError when the kernel refuses the netlink socket.
    explicit NetworkMonitor(boost::asio::any_io_executor main);

    // True when the current path is satisfied or the last delivered update said so.
    bool checkConnection() const;

    // Written on the main executor only.
    platform::Tracked<bool> isConnected{false};
    platform::Tracked<std::optional<InterfaceType>> connectionType;

private:
    void apply(const platform::NetworkPath& path);

    std::unique_ptr<platform::NetworkPathMonitor> monitor_;
};

}  // namespace kestro
