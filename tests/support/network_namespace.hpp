#pragma once
// Network namespaces of a test's own: nothing done inside one reaches the machine's network.

#include <functional>
#include <optional>
#include <string>

namespace support {

// Runs `body` on a thread that has moved into a fresh network namespace (the move affects that
// thread only; threads and processes it starts inherit it). Returns why it could not, if so.
std::optional<std::string> inFreshNetworkNamespace(const std::function<void()>& body);

// Runs an `ip` command line in the namespace of the calling thread; false when it fails.
bool ip(const std::string& arguments);

}  // namespace support
