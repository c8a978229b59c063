#include "realtime/transport/gstreamer_support.hpp"

#define GST_USE_UNSTABLE_API
#include <agent.h>
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <mutex>
#include <stdexcept>
#include <string_view>

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

namespace {

gboolean copyField(GQuark field, const GValue* value, gpointer target) {
    gst_structure_id_set_value(static_cast<GstStructure*>(target), field, value);
    return TRUE;
}

// Completes the caps the bundling funnel sends on with the stream's own, while it carries that one
// stream only. `data` is the stream's caps.
GstPadProbeReturn completeFunnelCaps(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    if (!caps || gst_caps_get_size(caps) != 1 || gst_structure_has_field(gst_caps_get_structure(caps, 0), "ssrc")) {
        return GST_PAD_PROBE_OK;
    }
    GstElement* funnel = gst_pad_get_parent_element(pad);
    if (!funnel) return GST_PAD_PROBE_OK;
    GST_OBJECT_LOCK(funnel);
    const bool oneStream = funnel->numsinkpads == 1;
    GST_OBJECT_UNLOCK(funnel);
    gst_object_unref(funnel);
    if (!oneStream) return GST_PAD_PROBE_OK;

    GstCaps* completed = gst_caps_copy(caps);
    gst_structure_foreach(gst_caps_get_structure(static_cast<GstCaps*>(data), 0), copyField,
                          gst_caps_get_structure(completed, 0));
    GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(completed);
    gst_caps_unref(completed);
    gst_event_unref(event);
    return GST_PAD_PROBE_OK;
}

// webrtcbin adds its funnel while it applies a description, before any buffer flows through it.
void onElementAdded(GstBin*, GstBin*, GstElement* element, gpointer data) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory || std::string_view(GST_OBJECT_NAME(factory)) != "rtpfunnel") return;
    GstPad* source = gst_element_get_static_pad(element, "src");
    if (!source) return;
    gst_pad_add_probe(source, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, completeFunnelCaps,
                      gst_caps_ref(static_cast<GstCaps*>(data)), [](gpointer caps) { gst_caps_unref(GST_CAPS(caps)); });
    gst_object_unref(source);
}

}  // namespace

void describeSentStream(GstElement* webrtcbin, const std::string& rtpCaps) {
    GstCaps* caps = gst_caps_from_string(rtpCaps.c_str());
    if (!caps || gst_caps_get_size(caps) != 1 || !gst_caps_is_fixed(caps)) {
        if (caps) gst_caps_unref(caps);
        throw std::invalid_argument("Not the caps of one RTP stream: " + rtpCaps);
    }
    g_signal_connect_data(webrtcbin, "deep-element-added", G_CALLBACK(onElementAdded), caps,
                          [](gpointer caps, GClosure*) { gst_caps_unref(GST_CAPS(caps)); }, GConnectFlags(0));
}

}  // namespace realtime::detail
