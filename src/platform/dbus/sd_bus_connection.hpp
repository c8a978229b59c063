#pragma once
// A D-Bus connection through sd-bus that never blocks the thread using it: its descriptor and its
// time-outs are awaited on an I/O executor (the shared one), and everything sd-bus does (replies,
// signals, time-outs of calls) runs on the main executor, the only thread that touches the bus.
// Calls are made with sd-bus's asynchronous functions on get(), followed by pump().

#include <systemd/sd-bus.h>

#include <boost/asio/any_io_executor.hpp>
#include <memory>
#include <string>

namespace platform {

class SdBusConnection : public std::enable_shared_from_this<SdBusConnection> {
public:
    // Connects to `address` (a D-Bus address; empty: the session bus of the environment) as a
    // client. None when that fails; `problem` then says why.
    static std::shared_ptr<SdBusConnection> open(boost::asio::any_io_executor mainExecutor,
                                                 boost::asio::any_io_executor ioExecutor,
                                                 const std::string& address, std::string* problem = nullptr);
    ~SdBusConnection();
    SdBusConnection(const SdBusConnection&) = delete;
    SdBusConnection& operator=(const SdBusConnection&) = delete;

    sd_bus* get() const { return bus_; }
    // The connection's unique name (":1.42"), empty before the bus has told it.
    std::string uniqueName() const;

    // Runs what sd-bus has to do now (on the main executor) and waits again for the descriptor
    // and the next time-out. To be called after queueing messages; safe inside a callback.
    void pump();

private:
    struct Waits;
    SdBusConnection(boost::asio::any_io_executor mainExecutor, boost::asio::any_io_executor ioExecutor, sd_bus* bus);
    void process();
    void arm();

    boost::asio::any_io_executor mainExecutor_;
    sd_bus* bus_ = nullptr;
    std::unique_ptr<Waits> waits_;
    bool processing_ = false;
    bool again_ = false;
    bool pumpPosted_ = false;
};

}  // namespace platform
