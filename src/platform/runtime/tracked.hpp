#pragma once
// Observable state confined to one executor (no locking): the published fields of the call
// controller, the menu state and the conversation. Observers run synchronously after each change,
// on the thread that made it, in the order they subscribed.

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace platform {

// Unsubscribes when destroyed or reset. Movable, not copyable.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(cancel_, {})) cancel();
    }

private:
    std::function<void()> cancel_;
};

template <class T>
class Tracked {
public:
    using Observer = std::function<void(const T&)>;

    Tracked() = default;
    explicit Tracked(T initial) : value_(std::move(initial)) {}
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    // Assigns and announces; an assignment of an equal value is skipped.
    void set(T value) {
        if constexpr (std::equality_comparable<T>) {
            if (value == value_) return;
        }
        value_ = std::move(value);
        announce();
    }
    Tracked& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    // Edits the value in place and always announces.
    template <class F>
    void modify(F&& edit) {
        std::forward<F>(edit)(value_);
        announce();
    }

    // Observing does not change the value, so it is open to holders of a const reference too.
    [[nodiscard]] Subscription observe(Observer observer) const {
        auto id = nextId_++;
        observers_->emplace(id, std::make_shared<Observer>(std::move(observer)));
        std::weak_ptr<Observers> weak = observers_;
        return Subscription([weak, id] {
            if (auto observers = weak.lock()) observers->erase(id);
        });
    }

private:
    using Observers = std::map<std::uint64_t, std::shared_ptr<Observer>>;

    void announce() {
        // A copy, so that observers may subscribe or unsubscribe while being told.
        auto snapshot = *observers_;
        for (auto& [id, observer] : snapshot) {
            if (observers_->contains(id)) (*observer)(value_);
        }
    }

    T value_{};
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
    mutable std::uint64_t nextId_ = 0;
};

}  // namespace platform
