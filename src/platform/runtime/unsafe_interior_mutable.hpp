#pragma once
// A shared slot holding one optional object, read and replaced by anyone holding the slot. An
// audio callback may read it while the main executor replaces it: both sides take a spin lock
// only for the length of copying one shared pointer, never a sleeping lock, and a reader keeps
// the object it read alive for as long as it holds the returned pointer.

#include <atomic>
#include <memory>
#include <utility>

namespace platform {

template <class T>
class UnsafeInteriorMutable {
public:
    UnsafeInteriorMutable() = default;
    explicit UnsafeInteriorMutable(std::shared_ptr<T> value) : value_(std::move(value)) {}
    UnsafeInteriorMutable(const UnsafeInteriorMutable&) = delete;
    UnsafeInteriorMutable& operator=(const UnsafeInteriorMutable&) = delete;

    // The current object, or null when the slot is empty.
    std::shared_ptr<T> value() const {
        Guard guard(lock_);
        return value_;
    }

    // Replaces the object; null empties the slot. The old object is released outside the lock.
    void setValue(std::shared_ptr<T> value) {
        {
            Guard guard(lock_);
            value_.swap(value);
        }
    }

private:
    struct Guard {
        explicit Guard(std::atomic_flag& flag) : flag(flag) {
            while (flag.test_and_set(std::memory_order_acquire)) flag.wait(true, std::memory_order_relaxed);
        }
        ~Guard() {
            flag.clear(std::memory_order_release);
            flag.notify_one();
        }
        std::atomic_flag& flag;
    };

    mutable std::atomic_flag lock_;
    std::shared_ptr<T> value_;
};

}  // namespace platform
