#include "platform/dbus/sd_bus_async.hpp"

#include <algorithm>

namespace platform {
namespace {

int onMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* handler = static_cast<MessageHandler*>(userdata);
    if (*handler) (*handler)(message);
    return 0;
}

void releaseHandler(void* userdata) { delete static_cast<MessageHandler*>(userdata); }

}  // namespace

bool callAsync(SdBusConnection& bus, sd_bus_message* message, std::chrono::milliseconds timeout,
               MessageHandler handler) {
    auto* owned = new MessageHandler(std::move(handler));
    sd_bus_slot* slot = nullptr;
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    int result = sd_bus_call_async(bus.get(), &slot, message, onMessage, owned,
                                   static_cast<std::uint64_t>(std::max<std::int64_t>(micros, 1)));
    if (result < 0) {
        delete owned;
        return false;
    }
    // The bus keeps the slot until the reply, the time-out or its own end, then lets the handler go.
    sd_bus_slot_set_destroy_callback(slot, releaseHandler);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    bus.pump();
    return true;
}

bool sendWithoutReply(SdBusConnection& bus, sd_bus_message* message) {
    sd_bus_message_set_expect_reply(message, 0);
    bool sent = sd_bus_send(bus.get(), message, nullptr) >= 0;
    bus.pump();
    return sent;
}

SdBusSlot subscribe(SdBusConnection& bus, const std::string& match, MessageHandler handler) {
    auto* owned = new MessageHandler(std::move(handler));
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match_async(bus.get(), &slot, match.c_str(), onMessage, nullptr, owned) < 0) {
        delete owned;
        return nullptr;
    }
    sd_bus_slot_set_destroy_callback(slot, releaseHandler);
    bus.pump();
    return SdBusSlot(slot);
}

}  // namespace platform
