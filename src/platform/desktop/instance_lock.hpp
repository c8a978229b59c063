#pragma once
// One running instance per user session: an exclusive lock on a file in $XDG_RUNTIME_DIR, held
// for as long as the lock object lives (and let go by the system when the process ends, however
// it ends).

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

class InstanceLock {
public:
    enum class Outcome { acquired, heldElsewhere, unavailable };

    // "$XDG_RUNTIME_DIR/<name>.lock"; without that folder, "<name>.lock" in the user's
    // configuration folder (created when missing).
    static std::filesystem::path defaultPath(const std::string& name);

    // Tries to take the lock without waiting. `unavailable` (the file cannot be opened) leaves
    // the caller to run unguarded; `why` then says what went wrong.
    static Outcome acquire(const std::filesystem::path& path, std::optional<InstanceLock>& lock,
                           std::string* why = nullptr);

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace platform
