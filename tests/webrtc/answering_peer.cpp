#include "answering_peer.hpp"

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "realtime/transport/gstreamer_support.hpp"

namespace webrtc_test {

struct AnsweringPeer::State {
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    GstWebRTCDataChannel* channel = nullptr;
    bool open = false;
    bool closed = false;
    std::string label;
    std::vector<ChannelMessage> messages;

    template <class F>
    bool waitFor(std::chrono::milliseconds limit, F condition) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, condition);
    }
};

namespace {

using StateBox = std::shared_ptr<AnsweringPeer::State>;

AnsweringPeer::State& stateOf(gpointer data) { return **static_cast<StateBox*>(data); }

void connectState(gpointer instance, const char* signal, GCallback callback, const StateBox& state) {
    g_signal_connect_data(instance, signal, callback, new StateBox(state),
                          [](gpointer data, GClosure*) { delete static_cast<StateBox*>(data); }, GConnectFlags(0));
}

void record(gpointer data, bool binary, std::string text) {
    auto& state = stateOf(data);
    std::lock_guard lock(state.mutex);
    state.messages.push_back(ChannelMessage{binary, std::move(text)});
    state.changed.notify_all();
}

void onMessageString(GstWebRTCDataChannel*, gchar* text, gpointer data) { record(data, false, text ? text : ""); }

void onMessageData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
    gsize size = 0;
    const auto* raw = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    record(data, true, std::string(raw ? raw : "", size));
}

void onChannelState(GstWebRTCDataChannel* channel, GParamSpec*, gpointer data) {
    GstWebRTCDataChannelState ready{};
    g_object_get(channel, "ready-state", &ready, nullptr);
    auto& state = stateOf(data);
    std::lock_guard lock(state.mutex);
    if (ready == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) state.open = true;
    if (ready == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED) state.closed = true;
    state.changed.notify_all();
}

void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
    auto& state = stateOf(data);
    auto box = *static_cast<StateBox*>(data);
    connectState(channel, "on-message-string", G_CALLBACK(onMessageString), box);
    connectState(channel, "on-message-data", G_CALLBACK(onMessageData), box);
    connectState(channel, "notify::ready-state", G_CALLBACK(onChannelState), box);
    gchar* label = nullptr;
    GstWebRTCDataChannelState ready{};
    g_object_get(channel, "label", &label, "ready-state", &ready, nullptr);
    std::lock_guard lock(state.mutex);
    state.channel = GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel));
    state.label = label ? label : "";
    state.open = state.open || ready == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN;
    g_free(label);
    state.changed.notify_all();
}

// The offerer's audio is received and dropped.
void onPadAdded(GstElement* webrtc, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    GstElement* pipeline = GST_ELEMENT(gst_element_get_parent(webrtc));
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
    gst_element_sync_state_with_parent(sink);
    gst_object_unref(pipeline);
}

const GstStructure* await(GstPromise* promise, const char* step) {
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) throw std::runtime_error(std::string(step) + " stopped");
    const GstStructure* reply = gst_promise_get_reply(promise);
    if (reply && gst_structure_has_field(reply, "error")) {
        gchar* text = gst_structure_to_string(reply);
        std::string description = std::string(step) + " failed: " + text;
        g_free(text);
        throw std::runtime_error(description);
    }
    return reply;
}

}  // namespace

AnsweringPeer::AnsweringPeer() : state_(std::make_shared<State>()) {
    realtime::detail::ensureGStreamer();
    GError* error = nullptr;
    const std::string caps = "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000,payload=111";
    const std::string ssrc = std::to_string(g_random_int());
    state_->pipeline = gst_parse_launch_full(
        ("webrtcbin name=webrtc bundle-policy=max-bundle "
         "audiotestsrc is-live=true wave=silence ! audioconvert ! audioresample ! opusenc ! rtpopuspay pt=111 ssrc=" +
         ssrc + " ! " + caps + " ! webrtc.sink_0")
            .c_str(),
        nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &error);
    if (!state_->pipeline) {
        std::string text = error ? error->message : "no pipeline";
        g_clear_error(&error);
        throw std::runtime_error(text);
    }
    gst_object_ref_sink(state_->pipeline);
    state_->webrtc = gst_bin_get_by_name(GST_BIN(state_->pipeline), "webrtc");
    gst_object_unref(state_->webrtc);
    realtime::detail::restrictIceAddresses(state_->webrtc, {"127.0.0.1"});
    // Like the connector, this side tells its RTP session what it sends (see describeSentStream).
    realtime::detail::describeSentStream(state_->webrtc, caps + ",ssrc=(uint)" + ssrc);
    connectState(state_->webrtc, "on-data-channel", G_CALLBACK(onDataChannel), state_);
    connectState(state_->webrtc, "pad-added", G_CALLBACK(onPadAdded), state_);
    gst_element_set_state(state_->pipeline, GST_STATE_PLAYING);
}

AnsweringPeer::~AnsweringPeer() {
    gst_element_set_state(state_->pipeline, GST_STATE_NULL);
    GstWebRTCDataChannel* channel;
    {
        std::lock_guard lock(state_->mutex);
        channel = std::exchange(state_->channel, nullptr);
    }
    if (channel) g_object_unref(channel);
    gst_object_unref(state_->pipeline);
}

std::string AnsweringPeer::answer(const std::string& offer) {
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(offer.c_str(), &message);
    GstWebRTCSessionDescription* remote = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message);
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(state_->webrtc, "set-remote-description", remote, promise);
    gst_webrtc_session_description_free(remote);
    await(promise, "Setting the offer");
    gst_promise_unref(promise);

    promise = gst_promise_new();
    g_signal_emit_by_name(state_->webrtc, "create-answer", nullptr, promise);
    GstWebRTCSessionDescription* local = nullptr;
    if (const GstStructure* reply = await(promise, "The answer")) {
        gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &local, nullptr);
    }
    gst_promise_unref(promise);
    if (!local) throw std::runtime_error("No answer");

    promise = gst_promise_new();
    g_signal_emit_by_name(state_->webrtc, "set-local-description", local, promise);
    gst_webrtc_session_description_free(local);
    await(promise, "Setting the answer");
    gst_promise_unref(promise);

    const auto deadline = std::chrono::steady_clock::now() + 5s;
    GstWebRTCICEGatheringState gathering{};
    do {
        g_object_get(state_->webrtc, "ice-gathering-state", &gathering, nullptr);
        if (gathering == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) break;
        g_usleep(2000);
    } while (std::chrono::steady_clock::now() < deadline);
    if (gathering != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) throw std::runtime_error("ICE gathering did not end");

    GstWebRTCSessionDescription* gathered = nullptr;
    g_object_get(state_->webrtc, "local-description", &gathered, nullptr);
    gchar* text = gst_sdp_message_as_text(gathered->sdp);
    std::string result = text;
    g_free(text);
    gst_webrtc_session_description_free(gathered);
    return result;
}

bool AnsweringPeer::waitForChannelOpen(std::chrono::milliseconds limit) const {
    return state_->waitFor(limit, [&] { return state_->channel && state_->open; });
}

bool AnsweringPeer::waitForChannelClosed(std::chrono::milliseconds limit) const {
    return state_->waitFor(limit, [&] { return state_->closed; });
}

bool AnsweringPeer::waitForMessages(std::size_t count, std::chrono::milliseconds limit) const {
    return state_->waitFor(limit, [&] { return state_->messages.size() >= count; });
}

std::string AnsweringPeer::channelLabel() const {
    std::lock_guard lock(state_->mutex);
    return state_->label;
}

std::vector<ChannelMessage> AnsweringPeer::messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
}

std::string AnsweringPeer::sentStreamCaps() const {
    std::string text;
    GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(state_->webrtc), "rtpbin");
    GstPad* pad = rtpbin ? gst_element_get_static_pad(rtpbin, "send_rtp_sink_0") : nullptr;
    if (GstCaps* caps = pad ? gst_pad_get_current_caps(pad) : nullptr) {
        gchar* described = gst_caps_to_string(caps);
        text = described;
        g_free(described);
        gst_caps_unref(caps);
    }
    if (pad) gst_object_unref(pad);
    if (rtpbin) gst_object_unref(rtpbin);
    return text;
}

namespace {

// The channel, with a reference of the caller's; never called into with the lock held, since its
// state callbacks take it.
GstWebRTCDataChannel* channelOf(AnsweringPeer::State& state) {
    std::lock_guard lock(state.mutex);
    return state.channel ? GST_WEBRTC_DATA_CHANNEL(g_object_ref(state.channel)) : nullptr;
}

}  // namespace

bool AnsweringPeer::sendText(const std::string& text) {
    GstWebRTCDataChannel* channel = channelOf(*state_);
    if (!channel) return false;
    bool sent = gst_webrtc_data_channel_send_string_full(channel, text.c_str(), nullptr);
    g_object_unref(channel);
    return sent;
}

bool AnsweringPeer::sendBinary(const std::string& bytes) {
    GstWebRTCDataChannel* channel = channelOf(*state_);
    if (!channel) return false;
    GBytes* data = g_bytes_new(bytes.data(), bytes.size());
    bool sent = gst_webrtc_data_channel_send_data_full(channel, data, nullptr);
    g_bytes_unref(data);
    g_object_unref(channel);
    return sent;
}

}  // namespace webrtc_test
