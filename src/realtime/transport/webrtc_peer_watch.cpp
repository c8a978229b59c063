#include "realtime/transport/webrtc_peer_watch.hpp"

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <string_view>

#include "realtime/transport/webrtc_connector.hpp"
#include "realtime/transport/webrtc_shared.hpp"

namespace realtime::detail {

namespace {

using SharedBox = std::shared_ptr<WebRTCShared>;

WebRTCShared& sharedOf(gpointer data) { return **static_cast<SharedBox*>(data); }

gpointer box(const SharedBox& shared) { return new SharedBox(shared); }

void unbox(gpointer data) { delete static_cast<SharedBox*>(data); }

void connectShared(gpointer instance, const char* signal, GCallback callback, const SharedBox& shared) {
    g_signal_connect_data(instance, signal, callback, box(shared), [](gpointer data, GClosure*) { unbox(data); },
                          GConnectFlags(0));
}

std::exception_ptr failure(const char* text) {
    return std::make_exception_ptr(WebRTCConnector::ConnectionError(text));
}

// The peer connection's overall state and its ICE state.
void onConnectionState(GstElement* webrtc, GParamSpec*, gpointer data) {
    GstWebRTCPeerConnectionState connection{};
    GstWebRTCICEConnectionState ice{};
    g_object_get(webrtc, "connection-state", &connection, "ice-connection-state", &ice, nullptr);
    auto& shared = sharedOf(data);
    if (connection == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED || ice == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
        shared.lose(failure("The connection to the peer failed"));
        return;
    }
    shared.disconnected(connection == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED ||
                        ice == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED);
}

// The DTLS transport closes when the other side says goodbye (close_notify).
void onDtlsState(GstWebRTCDTLSTransport* transport, GParamSpec*, gpointer data) {
    GstWebRTCDTLSTransportState state{};
    g_object_get(transport, "state", &state, nullptr);
    if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_CLOSED) sharedOf(data).lose(nullptr);
    if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_FAILED) {
        sharedOf(data).lose(failure("The secure connection to the peer failed"));
    }
}

// The DTLS transport everything travels on (the policy bundles all of it): the data channel's,
// or, when the answer has no data channel, the first transceiver's.
GstWebRTCDTLSTransport* dtlsTransport(GstElement* webrtc) {
    GstWebRTCDTLSTransport* transport = nullptr;
    GstWebRTCSCTPTransport* sctp = nullptr;
    g_object_get(webrtc, "sctp-transport", &sctp, nullptr);
    if (sctp) {
        g_object_get(sctp, "transport", &transport, nullptr);
        gst_object_unref(sctp);
        if (transport) return transport;
    }
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc, "get-transceiver", 0, &transceiver);
    if (!transceiver) return nullptr;
    GstWebRTCRTPReceiver* receiver = nullptr;
    g_object_get(transceiver, "receiver", &receiver, nullptr);
    if (receiver) {
        g_object_get(receiver, "transport", &transport, nullptr);
        gst_object_unref(receiver);
    }
    gst_object_unref(transceiver);
    return transport;
}

GstPadProbeReturn onReceived(GstPad*, GstPadProbeInfo*, gpointer data) {
    sharedOf(data).lastReceived.store(WebRTCShared::Clock::now().time_since_epoch().count());
    return GST_PAD_PROBE_OK;
}

// Every packet from the other side but ICE's own checks (DTLS, SCTP, RTP, RTCP) leaves an ICE
// source element.
void watchReceivedPackets(GstElement* webrtc, const SharedBox& shared) {
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(webrtc));
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(elements, &item)) {
            case GST_ITERATOR_OK: {
                auto* element = GST_ELEMENT(g_value_get_object(&item));
                GstElementFactory* factory = gst_element_get_factory(element);
                if (factory && std::string_view(GST_OBJECT_NAME(factory)) == "nicesrc") {
                    if (GstPad* pad = gst_element_get_static_pad(element, "src")) {
                        gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                                          onReceived, box(shared), unbox);
                        gst_object_unref(pad);
                    }
                }
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
                // Elements added meanwhile: start again; a second probe on one pad does no harm.
                gst_iterator_resync(elements);
                break;
            default:
                done = true;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
}

}  // namespace

void watchPeer(GstElement* webrtc, const std::shared_ptr<WebRTCShared>& shared) {
    connectShared(webrtc, "notify::connection-state", G_CALLBACK(onConnectionState), shared);
    connectShared(webrtc, "notify::ice-connection-state", G_CALLBACK(onConnectionState), shared);
    SharedBox local = shared;
    // The states may have changed before the handlers were connected.
    onConnectionState(webrtc, nullptr, &local);
    if (GstWebRTCDTLSTransport* transport = dtlsTransport(webrtc)) {
        connectShared(transport, "notify::state", G_CALLBACK(onDtlsState), shared);
        onDtlsState(transport, nullptr, &local);
        gst_object_unref(transport);
    }
    watchReceivedPackets(webrtc, shared);
    shared->startWatch();
}

}  // namespace realtime::detail
