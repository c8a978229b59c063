#include "platform/runtime/observation.hpp"

#include <algorithm>
#include <atomic>

namespace platform {

namespace {

struct Tracking {
    std::function<void()> onChange;
    std::atomic<bool> fired{false};
    std::vector<std::weak_ptr<ObservationRegistrar::Impl>> registrars;
};

thread_local std::vector<std::shared_ptr<ObservationRegistrar::Impl>>* currentScope = nullptr;

}  // namespace

struct ObservationRegistrar::Impl {
    std::mutex mutex;
    std::vector<std::shared_ptr<Tracking>> armed;

    void disarm(const std::shared_ptr<Tracking>& tracking) {
        std::lock_guard lock(mutex);
        std::erase(armed, tracking);
    }
};

ObservationRegistrar::ObservationRegistrar() : impl_(std::make_shared<Impl>()) {}
ObservationRegistrar::~ObservationRegistrar() = default;

void ObservationRegistrar::access() const {
    if (!currentScope) return;
    if (std::find(currentScope->begin(), currentScope->end(), impl_) == currentScope->end()) {
        currentScope->push_back(impl_);
    }
}

void ObservationRegistrar::willSet() const {
    std::vector<std::shared_ptr<Tracking>> armed;
    {
        std::lock_guard lock(impl_->mutex);
        armed.swap(impl_->armed);
    }
    for (auto& tracking : armed) {
        if (tracking->fired.exchange(true)) continue;
        for (auto& weak : tracking->registrars) {
            auto other = weak.lock();
            if (other && other != impl_) other->disarm(tracking);
        }
        if (tracking->onChange) tracking->onChange();
    }
}

namespace detail {

void trackObservations(const std::function<void()>& apply, std::function<void()> onChange) {
    std::vector<std::shared_ptr<ObservationRegistrar::Impl>> accessed;
    auto* previous = std::exchange(currentScope, &accessed);
    try {
        apply();
    } catch (...) {
        currentScope = previous;
        throw;
    }
    currentScope = previous;
    if (accessed.empty()) return;

    auto tracking = std::make_shared<Tracking>();
    tracking->onChange = std::move(onChange);
    for (auto& registrar : accessed) tracking->registrars.push_back(registrar);
    for (auto& registrar : accessed) {
        std::lock_guard lock(registrar->mutex);
        registrar->armed.push_back(tracking);
    }
}

}  // namespace detail

}  // namespace platform
