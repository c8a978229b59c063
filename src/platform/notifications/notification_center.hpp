#pragma once
// Process-wide notifications by name, delivered synchronously on the posting thread.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {

using UserInfo = std::map<std::string, std::any>;

struct Notification {
    std::string name;
    UserInfo userInfo;

    // The user-info value under `key` when it holds a T, else nullptr.
    template <class T>
    const T* get(const std::string& key) const {
        auto found = userInfo.find(key);
        return found == userInfo.end() ? nullptr : std::any_cast<T>(&found->second);
    }
};

class NotificationCenter;

// Unsubscribes its observer when destroyed (or reset). Movable, not copyable.
class ObserverToken {
public:
    ObserverToken() = default;
    ObserverToken(ObserverToken&&) noexcept = default;
    ObserverToken& operator=(ObserverToken&&) noexcept = default;
    ~ObserverToken() = default;
    void reset() { handle_.reset(); }
    explicit operator bool() const { return static_cast<bool>(handle_); }

private:
    friend class NotificationCenter;
    explicit ObserverToken(std::shared_ptr<void> handle) : handle_(std::move(handle)) {}
    std::shared_ptr<void> handle_;
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    static NotificationCenter& defaultCenter();

    // Observes notifications named `name`; an empty name observes every notification.
    [[nodiscard]] ObserverToken addObserver(std::string name, Handler handler);
    // Runs the matching observers on this thread, in the order they were added. An observer may
    // add or remove observers (including itself) while it runs.
    void post(const std::string& name, UserInfo userInfo = {});

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
