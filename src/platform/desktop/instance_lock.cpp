#include "platform/desktop/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

namespace platform {

std::filesystem::path InstanceLock::defaultPath(const std::string& name) {
    const auto file = name + ".lock";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        return std::filesystem::path(runtime) / file;
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = std::filesystem::path(home) / ".config";
    } else {
        config = "/tmp";
    }
    std::error_code ignored;
    std::filesystem::create_directories(config / name, ignored);
    return config / name / file;
}

InstanceLock::Outcome InstanceLock::acquire(const std::filesystem::path& path, std::optional<InstanceLock>& lock,
                                            std::string* why) {
    lock.reset();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (why) *why = "cannot open " + path.string() + ": " + std::strerror(errno);
        return Outcome::unavailable;
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return Outcome::heldElsewhere;
        if (why) *why = "cannot lock " + path.string() + ": " + std::strerror(error);
        return Outcome::unavailable;
    }
    lock.emplace(InstanceLock(fd));
    return Outcome::acquired;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace platform
