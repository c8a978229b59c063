#pragma once
// An observable list shared between the main executor and an audio completion thread. Each
// operation is atomic under one short lock; every read is reported to the observation registrar
// as an access, and every replacement or in-place change is announced before it happens, outside
// the lock, so an observer armed with withObservationTracking() is told once before the next
// change.

#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/runtime/observation.hpp"

namespace platform {

template <class T>
class UnsafeMutableArray {
public:
    UnsafeMutableArray() = default;
    explicit UnsafeMutableArray(std::vector<T> array) : array_(std::move(array)) {}
    UnsafeMutableArray(const UnsafeMutableArray&) = delete;
    UnsafeMutableArray& operator=(const UnsafeMutableArray&) = delete;

    // Reads (observed accesses).
    std::vector<T> array() const {
        registrar_.access();
        std::lock_guard lock(mutex_);
        return array_;
    }
    std::optional<T> first() const {
        registrar_.access();
        std::lock_guard lock(mutex_);
        if (array_.empty()) return std::nullopt;
        return array_.front();
    }
    bool isEmpty() const {
        registrar_.access();
        std::lock_guard lock(mutex_);
        return array_.empty();
    }
    std::size_t count() const {
        registrar_.access();
        std::lock_guard lock(mutex_);
        return array_.size();
    }

    // Changes (announced mutations).
    void setArray(std::vector<T> array) {
        registrar_.willSet();
        std::lock_guard lock(mutex_);
        array_ = std::move(array);
    }
    void append(T element) {
        registrar_.willSet();
        std::lock_guard lock(mutex_);
        array_.push_back(std::move(element));
    }
    // Removes and returns the oldest element; an empty list stays empty and gives nothing.
    std::optional<T> removeFirst() {
        registrar_.willSet();
        std::lock_guard lock(mutex_);
        if (array_.empty()) return std::nullopt;
        std::optional<T> first(std::move(array_.front()));
        array_.erase(array_.begin());
        return first;
    }
    void removeAll() {
        registrar_.willSet();
        std::lock_guard lock(mutex_);
        array_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<T> array_;
    ObservationRegistrar registrar_;
};

}  // namespace platform
