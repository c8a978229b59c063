#include "platform/dbus/sd_bus_connection.hpp"

#include <poll.h>

#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstring>
#include <limits>

namespace asio = boost::asio;

namespace platform {

// The waits live on the I/O executor; their handlers only hand the work to the main executor.
// Which waits are armed is known on the main executor alone.
struct SdBusConnection::Waits {
    explicit Waits(asio::any_io_executor io) : descriptor(io), timer(io) {}
    asio::posix::stream_descriptor descriptor;
    asio::steady_timer timer;
    bool readArmed = false;
    bool writeArmed = false;
    std::uint64_t timerDeadline = std::numeric_limits<std::uint64_t>::max();  // µs, CLOCK_MONOTONIC
    std::uint64_t timerGeneration = 0;
};

std::shared_ptr<SdBusConnection> SdBusConnection::open(asio::any_io_executor mainExecutor,
                                                       asio::any_io_executor ioExecutor,
                                                       const std::string& address, std::string* problem) {
    sd_bus* bus = nullptr;
    int result = 0;
    if (address.empty()) {
        result = sd_bus_open_user(&bus);
    } else if ((result = sd_bus_new(&bus)) >= 0) {
        if ((result = sd_bus_set_address(bus, address.c_str())) >= 0 && (result = sd_bus_set_bus_client(bus, 1)) >= 0) {
            result = sd_bus_start(bus);
        }
    }
    if (result < 0) {
        if (problem) *problem = std::string("cannot connect to the session bus: ") + std::strerror(-result);
        if (bus) sd_bus_close_unref(bus);
        return nullptr;
    }
    std::shared_ptr<SdBusConnection> connection(
        new SdBusConnection(std::move(mainExecutor), ioExecutor ? ioExecutor : mainExecutor, bus));
    connection->pump();
    return connection;
}

SdBusConnection::SdBusConnection(asio::any_io_executor mainExecutor, asio::any_io_executor ioExecutor, sd_bus* bus)
    : mainExecutor_(std::move(mainExecutor)), bus_(bus), waits_(std::make_unique<Waits>(std::move(ioExecutor))) {
    waits_->descriptor.assign(sd_bus_get_fd(bus_));
}

SdBusConnection::~SdBusConnection() {
    // The descriptor belongs to sd-bus; outstanding waits end with it.
    if (waits_->descriptor.is_open()) waits_->descriptor.release();
    waits_->timer.cancel();
    sd_bus_close_unref(bus_);
}

std::string SdBusConnection::uniqueName() const {
    const char* name = nullptr;
    if (sd_bus_get_unique_name(bus_, &name) < 0 || !name) return {};
    return name;
}

void SdBusConnection::pump() {
    if (processing_) {
        again_ = true;
        return;
    }
    // Callers may be in the middle of a change; the work runs once they are done.
    if (pumpPosted_) return;
    pumpPosted_ = true;
    asio::post(mainExecutor_, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->pumpPosted_ = false;
        self->process();
    });
}

void SdBusConnection::process() {
    processing_ = true;
    // Each call handles at most one message; callbacks may queue more.
    do {
        again_ = false;
        int result = 0;
        do {
            result = sd_bus_process(bus_, nullptr);
        } while (result > 0);
    } while (again_);
    processing_ = false;
    arm();
}

void SdBusConnection::arm() {
    if (!sd_bus_is_open(bus_)) return;
    int events = sd_bus_get_events(bus_);
    auto weak = weak_from_this();
    auto main = mainExecutor_;
    auto resume = [weak, main](bool Waits::*armed) {
        return [weak, main, armed](boost::system::error_code error) {
            if (error == asio::error::operation_aborted) return;
            asio::post(main, [weak, armed] {
                auto self = weak.lock();
                if (!self) return;
                self->waits_.get()->*armed = false;
                self->process();
            });
        };
    };
    if (events > 0 && (events & POLLIN) && !waits_->readArmed) {
        waits_->readArmed = true;
        waits_->descriptor.async_wait(asio::posix::descriptor_base::wait_read, resume(&Waits::readArmed));
    }
    if (events > 0 && (events & POLLOUT) && !waits_->writeArmed) {
        waits_->writeArmed = true;
        waits_->descriptor.async_wait(asio::posix::descriptor_base::wait_write, resume(&Waits::writeArmed));
    }
    std::uint64_t deadline = std::numeric_limits<std::uint64_t>::max();
    if (sd_bus_get_timeout(bus_, &deadline) < 0) deadline = std::numeric_limits<std::uint64_t>::max();
    if (deadline == waits_->timerDeadline) return;
    waits_->timerDeadline = deadline;
    std::uint64_t generation = ++waits_->timerGeneration;
    if (deadline == std::numeric_limits<std::uint64_t>::max()) {
        waits_->timer.cancel();
        return;
    }
    // sd-bus counts on CLOCK_MONOTONIC, as the steady clock does.
    waits_->timer.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(deadline)));
    waits_->timer.async_wait([weak, main, generation](boost::system::error_code error) {
        if (error == asio::error::operation_aborted) return;
        asio::post(main, [weak, generation] {
            auto self = weak.lock();
            if (!self || self->waits_->timerGeneration != generation) return;
            self->waits_->timerDeadline = std::numeric_limits<std::uint64_t>::max();
            self->process();
        });
    });
}

}  // namespace platform
