#include "support/network_namespace.hpp"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace support {

std::optional<std::string> inFreshNetworkNamespace(const std::function<void()>& body) {
    std::optional<std::string> failure;
    std::thread thread([&] {
        if (::geteuid() != 0) {
            failure = "needs root to create a network namespace";
            return;
        }
        if (::unshare(CLONE_NEWNET) != 0) {
            failure = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
            return;
        }
        if (!ip("link show lo")) {
            failure = "the ip command is not available";
            return;
        }
        body();
    });
    thread.join();
    return failure;
}

bool ip(const std::string& arguments) {
    int status = std::system(("ip " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace support
