#pragma once
// One-shot change tracking across threads.
//
//   withObservationTracking([&] { return queue.isEmpty(); }, [] { /* about to change */ });
//
// Every registrar read inside the apply function is remembered; the next time any of them is
// about to change, the onChange reaction runs once, on the thread making the change, before the
// change is made and outside every lock of the changed object. To keep watching, the reaction
// arms a new tracking.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform {

class ObservationRegistrar {
public:
    ObservationRegistrar();
    ObservationRegistrar(const ObservationRegistrar&) = delete;
    ObservationRegistrar& operator=(const ObservationRegistrar&) = delete;
    ~ObservationRegistrar();

    // Records a read in the tracking scope running on this thread, if there is one.
    void access() const;

    // Tells and disarms every tracking that read this registrar. Call it before changing the
    // observed value and without holding the value's lock.
    void willSet() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

namespace detail {
// Runs `apply` in a tracking scope on this thread and arms `onChange` for what it read.
void trackObservations(const std::function<void()>& apply, std::function<void()> onChange);
}  // namespace detail

template <class F>
auto withObservationTracking(F&& apply, std::function<void()> onChange) {
    using Result = decltype(apply());
    if constexpr (std::is_void_v<Result>) {
        detail::trackObservations([&] { apply(); }, std::move(onChange));
    } else {
        std::optional<Result> result;
        detail::trackObservations([&] { result.emplace(apply()); }, std::move(onChange));
        return std::move(*result);
    }
}

}  // namespace platform
