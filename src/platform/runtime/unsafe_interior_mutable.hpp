#pragma once
// A shared slot holding one optional object, read and replaced by anyone holding the slot. Reads
// are lock-free for the reader's purposes (an atomic shared pointer), so an audio callback may
// read it while the main executor replaces it; a reader keeps the object it read alive for as
// long as it holds the returned pointer.

#include <atomic>
#include <memory>

namespace platform {

template <class T>
class UnsafeInteriorMutable {
public:
    UnsafeInteriorMutable() = default;
    explicit UnsafeInteriorMutable(std::shared_ptr<T> value) : value_(std::move(value)) {}
    UnsafeInteriorMutable(const UnsafeInteriorMutable&) = delete;
    UnsafeInteriorMutable& operator=(const UnsafeInteriorMutable&) = delete;

    // The current object, or null when the slot is empty.
    std::shared_ptr<T> value() const { return value_.load(std::memory_order_acquire); }

    // Replaces the object; null empties the slot.
    void setValue(std::shared_ptr<T> value) {
        value_.store(std::move(value), std::memory_order_release);
    }

private:
    std::atomic<std::shared_ptr<T>> value_;
};

}  // namespace platform
