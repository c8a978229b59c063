#include "platform/notifications/notification_center.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

namespace {

struct Observer {
    std::string name;
    NotificationCenter::Handler handler;
    std::atomic<bool> active{true};
};

}  // namespace

struct NotificationCenter::State {
    std::mutex mutex;
    std::map<std::uint64_t, std::shared_ptr<Observer>> observers;
    std::uint64_t nextId = 0;
};

namespace {

// What an ObserverToken holds: removes its observer when the last copy goes.
struct Registration {
    std::shared_ptr<Observer> observer;
    std::function<void()> remove;
    ~Registration() {
        observer->active = false;
        if (remove) remove();
    }
};

}  // namespace

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

ObserverToken NotificationCenter::addObserver(std::string name, Handler handler) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->handler = std::move(handler);
    std::uint64_t id;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextId++;
        state_->observers.emplace(id, observer);
    }
    auto registration = std::make_shared<Registration>();
    registration->observer = observer;
    std::weak_ptr<State> weak = state_;
    registration->remove = [weak, id] {
        if (auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            state->observers.erase(id);
        }
    };
    return ObserverToken(std::shared_ptr<void>(std::move(registration)));
}

void NotificationCenter::post(const std::string& name, UserInfo userInfo) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(state_->mutex);
        for (auto& [id, observer] : state_->observers) {
            if (observer->name.empty() || observer->name == name) matching.push_back(observer);
        }
    }
    Notification notification{name, std::move(userInfo)};
    for (auto& observer : matching) {
        // One removed by an earlier observer of this same post is not told.
        if (observer->active) observer->handler(notification);
    }
}

}  // namespace platform
