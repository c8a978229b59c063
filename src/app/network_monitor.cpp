#include "app/network_monitor.hpp"

#include <mutex>

namespace kestro {

std::shared_ptr<NetworkMonitor> NetworkMonitor::shared(boost::asio::any_io_executor main) {
    static std::mutex mutex;
    static std::weak_ptr<NetworkMonitor> instance;
    std::lock_guard lock(mutex);
    if (auto existing = instance.lock()) return existing;
    auto made = std::make_shared<NetworkMonitor>(std::move(main));
    instance = made;
    return made;
}

NetworkMonitor::NetworkMonitor(boost::asio::any_io_executor main) {
    // The handler runs on `main` and never after `monitor_` is destroyed, which happens in our
    // own destructor, so a plain `this` is safe here.
    monitor_ = std::make_unique<platform::NetworkPathMonitor>(
        std::move(main), [this](const platform::NetworkPath& path) { apply(path); });
    apply(monitor_->currentPath());
}

void NetworkMonitor::apply(const platform::NetworkPath& path) {
    isConnected = path.satisfied;
    std::optional<InterfaceType> type;
    if (path.usesInterfaceType(InterfaceType::wifi)) {
        type = InterfaceType::wifi;
    } else if (path.usesInterfaceType(InterfaceType::cellular)) {
        type = InterfaceType::cellular;
    } else if (path.usesInterfaceType(InterfaceType::wiredEthernet)) {
        type = InterfaceType::wiredEthernet;
    }
    connectionType = type;
}

bool NetworkMonitor::checkConnection() const {
    return monitor_->currentPath().satisfied || isConnected.get();
}

}  // namespace kestro
