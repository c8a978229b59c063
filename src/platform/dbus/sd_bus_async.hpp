#pragma once
// Replies and signals of an SdBusConnection handed to std::function handlers. A call's handler
// runs once, with the reply or the error (a time-out or a lost peer included); nothing runs for it
// once the connection is gone. A subscription lasts as long as the slot it returns. Handlers run
// on the main executor, inside the connection's processing.

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/dbus/sd_bus_connection.hpp"

namespace platform {

using MessageHandler = std::function<void(sd_bus_message* message)>;

struct SdBusSlotRelease {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SdBusSlot = std::unique_ptr<sd_bus_slot, SdBusSlotRelease>;

// Sends the method call `message`; false when it could not be queued (the handler never runs).
bool callAsync(SdBusConnection& bus, sd_bus_message* message, std::chrono::milliseconds timeout,
               MessageHandler handler);

// Sends the method call `message` without asking for a reply.
bool sendWithoutReply(SdBusConnection& bus, sd_bus_message* message);

// Subscribes to the signals that `match` (a D-Bus match rule) selects. The slot must not be
// released from inside its own handler. Null when the bus refused.
SdBusSlot subscribe(SdBusConnection& bus, const std::string& match, MessageHandler handler);

}  // namespace platform
