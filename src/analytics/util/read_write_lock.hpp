#pragma once
// One value guarded by a read-write lock: many readers at once, one writer at a time.

#include <mutex>
#include <shared_mutex>
#include <utility>

namespace plover {

template <class T>
class ReadWriteLock {
public:
    explicit ReadWriteLock(T value = T{}) : value_(std::move(value)) {}
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    // A copy of the value, taken under the shared lock.
    T get() const {
        std::shared_lock lock(mutex_);
        return value_;
    }

    // Runs `look` with the value under the shared lock and returns what it returns, without a copy.
    template <class F>
    decltype(auto) read(F&& look) const {
        std::shared_lock lock(mutex_);
        return std::forward<F>(look)(std::as_const(value_));
    }

    void set(T value) {
        std::unique_lock lock(mutex_);
        value_ = std::move(value);
    }

    // Runs `change` with the value under the exclusive lock and returns what it returns; a
    // read-modify-write (append, remove the first element, ...) is one step this way. `change`
    // must not touch this box again.
    template <class F>
    decltype(auto) mutate(F&& change) {
        std::unique_lock lock(mutex_);
        return std::forward<F>(change)(value_);
    }

private:
    mutable std::shared_mutex mutex_;
    T value_;
};

}  // namespace plover
