#include "realtime/transport/gstreamer_support.hpp"

#define GST_USE_UNSTABLE_API
#include <agent.h>
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <mutex>
#include <stdexcept>

namespace realtime::detail {

void ensureGStreamer() {
    static std::once_flag once;
    static std::string failure;
    std::call_once(once, [] {
        GError* error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            failure = error ? error->message : "GStreamer could not be initialised";
            if (error) g_error_free(error);
        }
    });
    if (!failure.empty()) throw std::runtime_error(failure);
}

void restrictIceAddresses(GstElement* webrtcbin, const std::vector<std::string>& addresses) {
    if (addresses.empty()) return;
    std::vector<NiceAddress> parsed(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        nice_address_init(&parsed[i]);
        if (!nice_address_set_from_string(&parsed[i], addresses[i].c_str())) {
            throw std::invalid_argument("Not an IP address: " + addresses[i]);
        }
    }
    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtcbin, "ice-agent", &ice, nullptr);
    NiceAgent* agent = nullptr;
    if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
        g_object_get(ice, "agent", &agent, nullptr);
    }
    if (ice) gst_object_unref(ice);
    // Without libnice's agent the addresses cannot be chosen, and ICE would use every interface.
    if (!agent) throw std::runtime_error("The ICE agent does not let its local addresses be chosen");
    g_object_set(agent, "upnp", FALSE, nullptr);
    for (auto& address : parsed) nice_agent_add_local_address(agent, &address);
    g_object_unref(agent);
}

}  // namespace realtime::detail
