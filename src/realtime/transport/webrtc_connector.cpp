#include "realtime/transport/webrtc_connector.hpp"

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <utility>

#include "platform/runtime/print.hpp"
#include "realtime/model/codec.hpp"
#include "realtime/transport/server_event_receiver.hpp"
#include "realtime/transport/gstreamer_support.hpp"

namespace realtime {

namespace {

using namespace std::chrono_literals;

// How long teardown lets an open data channel say goodbye before the connection is closed.
constexpr auto channelCloseLimit = 500ms;
// Our channel counts as closed once the other side has reset its stream too, but our answer to that
// reset is then still on its way out; stopping the pipeline at once can drop it and leave the other
// side closing for ever. A moment's grace lets it leave.
constexpr auto channelCloseGrace = 50ms;

const char* const dataChannelLabel = "oai-events";
const char* const streamId = "stream0";
const char* const trackId = "audio0";
const char* const opusCaps = "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000,payload=111";

// The caps of the track this side sends.
std::string sentCaps(guint ssrc) { return std::string(opusCaps) + ",ssrc=(uint)" + std::to_string(ssrc); }

std::string nick(GType type, int value) {
    auto* enumClass = static_cast<GEnumClass*>(g_type_class_ref(type));
    const GEnumValue* found = g_enum_get_value(enumClass, value);
    std::string text = found ? found->value_nick : std::to_string(value);
    g_type_class_unref(enumClass);
    return text;
}

template <class Enum>
std::string propertyNick(gpointer object, const char* property, GType type) {
    Enum value{};
    g_object_get(object, property, &value, nullptr);
    return nick(type, static_cast<int>(value));
}

// The error's message; frees the error.
std::string takeMessage(GError* error, const char* fallback) {
    std::string text = error && error->message ? error->message : fallback;
    if (error) g_error_free(error);
    return text;
}

using StructurePtr = std::shared_ptr<GstStructure>;
// The reply of one GstPromise, awaited by a coroutine.
using PromiseReply = platform::AsyncStream<StructurePtr>;

// Issues one webrtcbin operation with a promise and waits for its reply (which may be empty).
// The reply's "error" becomes a NegotiationError; an interrupted promise (webrtcbin stopping) too.
template <class Issue>
asio::awaitable<StructurePtr> awaitPromise(const char* what, Issue issue) {
    auto [reply, continuation] = PromiseReply::make();
    auto* box = new PromiseReply::Continuation(continuation);
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) {
            auto& continuation = *static_cast<PromiseReply::Continuation*>(data);
            if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
                continuation.fail(WebRTCConnector::NegotiationError("The peer connection stopped"));
                return;
            }
            const GstStructure* structure = gst_promise_get_reply(promise);
            GError* error = nullptr;
            if (structure && gst_structure_has_field_typed(structure, "error", G_TYPE_ERROR)) {
                gst_structure_get(structure, "error", G_TYPE_ERROR, &error, nullptr);
                continuation.fail(WebRTCConnector::NegotiationError(takeMessage(error, "failed")));
                return;
            }
            continuation.yield(structure ? StructurePtr(gst_structure_copy(structure), gst_structure_free)
                                         : StructurePtr());
        },
        box, [](gpointer data) { delete static_cast<PromiseReply::Continuation*>(data); });
    issue(promise);
    gst_promise_unref(promise);
    auto result = co_await reply.next();
    if (!result) throw WebRTCConnector::NegotiationError(std::string(what) + " was abandoned");
    co_return *result;
}

bool isUtf8(const std::string& text) { return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr); }

std::string sdpText(const GstWebRTCSessionDescription* description) {
    gchar* text = gst_sdp_message_as_text(description->sdp);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

std::atomic<unsigned> probeCounter{0};

asio::awaitable<void> done() { co_return; }

asio::awaitable<void> rethrow(std::exception_ptr error) {
    std::rethrow_exception(error);
    co_return;
}

}  // namespace

namespace detail {

// What the connector shares with GStreamer's callbacks. The callbacks hold it through their
// closures; it holds no GStreamer object, so there is no cycle.
struct WebRTCShared {
    ServerEventStream::Continuation stream;

    // Held across each send and across the flush when the channel opens, so that messages queued
    // while the channel was connecting leave before any later one.
    std::mutex sendMutex;
    std::mutex mutex;  // the fields below; never held while calling into the data channel
    std::condition_variable channelChanged;
    bool closing = false;      // teardown has begun: nothing is added to the pipeline any more
    bool channelOpen = false;
    bool channelClosed = false;
    std::vector<std::string> pending;  // sent while the channel was still connecting
    ServerEventReceiver receiver;

    explicit WebRTCShared(ServerEventStream::Continuation continuation) : stream(std::move(continuation)) {}

    void receive(std::string_view text) {
        try {
            if (auto event = receiver.receive(text)) stream.yield(std::move(*event));
        } catch (...) {
            stream.fail(std::current_exception());
        }
    }
};

namespace {

using SharedBox = std::shared_ptr<WebRTCShared>;

WebRTCShared& sharedOf(gpointer data) { return **static_cast<SharedBox*>(data); }

void connectShared(gpointer instance, const char* signal, GCallback callback, const SharedBox& shared) {
    g_signal_connect_data(instance, signal, callback, new SharedBox(shared),
                          [](gpointer data, GClosure*) { delete static_cast<SharedBox*>(data); }, GConnectFlags(0));
}

void onSignalingState(GstElement* webrtc, GParamSpec*, gpointer) {
    platform::print("Connection state changed to " +
                    propertyNick<GstWebRTCSignalingState>(webrtc, "signaling-state", GST_TYPE_WEBRTC_SIGNALING_STATE));
}

void onIceConnectionState(GstElement* webrtc, GParamSpec*, gpointer) {
    platform::print("ICE connection state changed to " +
                    propertyNick<GstWebRTCICEConnectionState>(webrtc, "ice-connection-state",
                                                              GST_TYPE_WEBRTC_ICE_CONNECTION_STATE));
}

void onIceGatheringState(GstElement* webrtc, GParamSpec*, gpointer) {
    platform::print("ICE gathering state changed to " +
                    propertyNick<GstWebRTCICEGatheringState>(webrtc, "ice-gathering-state",
                                                             GST_TYPE_WEBRTC_ICE_GATHERING_STATE));
}

void onNegotiationNeeded(GstElement*, gpointer) { platform::print("Negotiating connection."); }

void onIceCandidate(GstElement*, guint, gchar*, gpointer) {
    // The answer to the single offer settles the connection: candidates are not sent anywhere.
    platform::print("ICE candidate generated.");
}

// The other side's media: audio is decoded into the playback mixer, anything else is dropped, so
// that no stream runs into an unlinked pad.
void onPadAdded(GstElement* webrtc, GstPad* pad, gpointer data) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    platform::print("Media stream added.");
    auto& shared = sharedOf(data);
    std::lock_guard lock(shared.mutex);
    if (shared.closing) return;
    GstElement* pipeline = GST_ELEMENT(gst_element_get_parent(webrtc));
    if (!pipeline) return;

    // The offer allows Opus alone for audio.
    bool audio = false;
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(pad), "transceiver")) {
        g_object_get(pad, "transceiver", &transceiver, nullptr);
    }
    if (transceiver) {
        GstWebRTCKind kind = GST_WEBRTC_KIND_UNKNOWN;
        g_object_get(transceiver, "kind", &kind, nullptr);
        audio = kind == GST_WEBRTC_KIND_AUDIO;
        gst_object_unref(transceiver);
    }
    GError* error = nullptr;
    GstElement* branch = gst_parse_bin_from_description(
        audio ? "queue ! rtpopusdepay ! opusdec ! audioconvert ! audioresample" : "fakesink", TRUE, &error);
    if (!branch) {
        g_clear_error(&error);
        gst_object_unref(pipeline);
        return;
    }
    gst_bin_add(GST_BIN(pipeline), branch);
    if (audio) {
        GstElement* mixer = gst_bin_get_by_name(GST_BIN(pipeline), "playback");
        GstPad* mixerPad = mixer ? gst_element_request_pad_simple(mixer, "sink_%u") : nullptr;
        GstPad* branchOut = gst_element_get_static_pad(branch, "src");
        if (mixerPad && branchOut) gst_pad_link(branchOut, mixerPad);
        if (branchOut) gst_object_unref(branchOut);
        if (mixerPad) gst_object_unref(mixerPad);
        if (mixer) gst_object_unref(mixer);
    }
    GstPad* branchIn = gst_element_get_static_pad(branch, "sink");
    gst_pad_link(pad, branchIn);
    gst_object_unref(branchIn);
    gst_element_sync_state_with_parent(branch);
    gst_object_unref(pipeline);
}

void onPadRemoved(GstElement*, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) == GST_PAD_SRC) platform::print("Media stream removed.");
}

void sendText(GstWebRTCDataChannel* channel, const std::string& text) {
    GError* error = nullptr;
    // A message the channel refuses is not reported.
    gst_webrtc_data_channel_send_string_full(channel, text.c_str(), &error);
    g_clear_error(&error);
}

void onChannelOpen(GstWebRTCDataChannel* channel, gpointer data) {
    auto& shared = sharedOf(data);
    {
        std::lock_guard sending(shared.sendMutex);
        std::vector<std::string> pending;
        {
            std::lock_guard lock(shared.mutex);
            pending = std::exchange(shared.pending, {});
            if (shared.closing) pending.clear();
            else shared.channelOpen = true;
        }
        for (auto& text : pending) sendText(channel, text);
    }
    platform::print("Data channel opened.");
}

void onChannelState(GstWebRTCDataChannel* channel, GParamSpec*, gpointer data) {
    GstWebRTCDataChannelState state{};
    g_object_get(channel, "ready-state", &state, nullptr);
    if (state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING || state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED) {
        auto& shared = sharedOf(data);
        std::lock_guard lock(shared.mutex);
        shared.channelOpen = false;
        shared.pending.clear();
        if (state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED) shared.channelClosed = true;
        shared.channelChanged.notify_all();
    }
    platform::print("Data channel changed to " + nick(GST_TYPE_WEBRTC_DATA_CHANNEL_STATE, state));
}

// Every message is decoded as a server event, whatever its binary flag.
void onMessageString(GstWebRTCDataChannel*, gchar* text, gpointer data) {
    sharedOf(data).receive(text ? std::string_view(text) : std::string_view());
}

void onMessageData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
    gsize size = 0;
    const auto* raw = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : nullptr;
    sharedOf(data).receive(std::string_view(raw ? raw : "", size));
}

// Messages of the pipeline are not needed: dropping them keeps the bus from growing.
GstBusSyncReply dropMessage(GstBus*, GstMessage*, gpointer) { return GST_BUS_DROP; }

std::string pipelineDescription(const WebRTCOptions& options, const std::string& probe, guint ssrc) {
    // The microphone through the four voice filters (the echo canceller hears what the playback
    // branch plays through its probe), encoded as Opus; the other side's audio mixed into one
    // playback branch.
    return "webrtcbin name=webrtc bundle-policy=max-bundle " + options.audioSource +
           " ! audioconvert ! audioresample ! audio/x-raw,format=S16LE,rate=48000,channels=1"
           " ! webrtcdsp probe=" + probe +
           " echo-cancel=true gain-control=true noise-suppression=true high-pass-filter=true"
           " ! audioconvert ! opusenc ! rtpopuspay pt=111 ssrc=" + std::to_string(ssrc) + " ! " + opusCaps + " ! webrtc.sink_0 "
           "audiomixer name=playback ! audioconvert ! audioresample ! audio/x-raw,format=S16LE,rate=48000"
           " ! webrtcechoprobe name=" + probe + " ! audioconvert ! audioresample ! " + options.audioSink;
}

// The playback branch has nothing to play until the other side's audio arrives; its sink must not
// hold the pipeline's state change waiting for a first buffer.
void letSinksStartEmpty(GstElement* pipeline) {
    GstIterator* sinks = gst_bin_iterate_sinks(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
        auto* sink = GST_ELEMENT(g_value_get_object(&item));
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "async")) g_object_set(sink, "async", FALSE, nullptr);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(sinks);
}

// The outgoing track "audio0": a send-and-receive transceiver that offers Opus, in the stream
// "stream0".
void prepareTrack(GstElement* webrtc, guint ssrc) {
    GstPad* pad = gst_element_get_static_pad(webrtc, "sink_0");
    if (!pad) return;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(pad), "msid")) g_object_set(pad, "msid", streamId, nullptr);
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(pad, "transceiver", &transceiver, nullptr);
    if (transceiver) {
        GstCaps* caps = gst_caps_from_string(sentCaps(ssrc).c_str());
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDRECV, "codec-preferences",
                     caps, nullptr);
        gst_caps_unref(caps);
        gst_object_unref(transceiver);
    }
    gst_object_unref(pad);
}

// webrtcbin names the track after its transceiver ("msid:stream0 webrtctransceiver1"); the offer
// carries the track's own id instead.
void nameTrack(GstSDPMessage* sdp) {
    const std::string stream = std::string(" msid:") + streamId + " ";
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
        auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, m));
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            if (!attribute->key || !attribute->value || std::string_view(attribute->key) != "ssrc") continue;
            std::string value = attribute->value;
            auto at = value.find(stream);
            if (at == std::string::npos) continue;
            value = value.substr(0, at + stream.size()) + trackId;
            GstSDPAttribute renamed;
            gst_sdp_attribute_set(&renamed, "ssrc", value.c_str());
            gst_sdp_media_replace_attribute(media, a, &renamed);
        }
    }
}

}  // namespace
}  // namespace detail

WebRTCConnector::WebRTCError::WebRTCError(Code code)
    : std::runtime_error(code == Code::failedToCreateDataChannel      ? "The data channel could not be created"
                         : code == Code::failedToCreatePeerConnection ? "The peer connection could not be created"
                                                                      : "The server's answer is not a 201 reply with "
                                                                        "a UTF-8 body"),
      code(code) {}

WebRTCConnector::WebRTCConnector(std::pair<ServerEventStream, ServerEventStream::Continuation> stream)
    : events_(std::move(stream.first)), shared_(std::make_shared<detail::WebRTCShared>(std::move(stream.second))) {}

void WebRTCConnector::start(const WebRTCOptions& options) {
    try {
        detail::ensureGStreamer();
    } catch (const std::runtime_error&) {
        throw WebRTCError(WebRTCError::Code::failedToCreatePeerConnection);
    }
    const std::string probe = "kestro_echo_probe_" + std::to_string(probeCounter++);
    const guint ssrc = g_random_int();
    GError* error = nullptr;
    pipeline_ = gst_parse_launch_full(detail::pipelineDescription(options, probe, ssrc).c_str(), nullptr,
                                      GST_PARSE_FLAG_FATAL_ERRORS, &error);
    g_clear_error(&error);
    if (!pipeline_) throw WebRTCError(WebRTCError::Code::failedToCreatePeerConnection);
    gst_object_ref_sink(pipeline_);
    if (GstBus* bus = gst_element_get_bus(pipeline_)) {
        gst_bus_set_sync_handler(bus, detail::dropMessage, nullptr, nullptr);
        gst_object_unref(bus);
    }
    webrtc_ = gst_bin_get_by_name(GST_BIN(pipeline_), "webrtc");
    if (!webrtc_) throw WebRTCError(WebRTCError::Code::failedToCreatePeerConnection);
    gst_object_unref(webrtc_);  // the pipeline keeps it

    detail::restrictIceAddresses(webrtc_, options.localAddresses);
    detail::prepareTrack(webrtc_, ssrc);
    detail::describeSentStream(webrtc_, sentCaps(ssrc));
    detail::letSinksStartEmpty(pipeline_);

    using detail::connectShared;
    connectShared(webrtc_, "notify::signaling-state", G_CALLBACK(detail::onSignalingState), shared_);
    connectShared(webrtc_, "notify::ice-connection-state", G_CALLBACK(detail::onIceConnectionState), shared_);
    connectShared(webrtc_, "notify::ice-gathering-state", G_CALLBACK(detail::onIceGatheringState), shared_);
    connectShared(webrtc_, "on-negotiation-needed", G_CALLBACK(detail::onNegotiationNeeded), shared_);
    connectShared(webrtc_, "on-ice-candidate", G_CALLBACK(detail::onIceCandidate), shared_);
    connectShared(webrtc_, "pad-added", G_CALLBACK(detail::onPadAdded), shared_);
    connectShared(webrtc_, "pad-removed", G_CALLBACK(detail::onPadRemoved), shared_);

    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        throw WebRTCError(WebRTCError::Code::failedToCreatePeerConnection);
    }

    g_signal_emit_by_name(webrtc_, "create-data-channel", dataChannelLabel, nullptr, &dataChannel_);
    if (!dataChannel_) throw WebRTCError(WebRTCError::Code::failedToCreateDataChannel);
    connectShared(dataChannel_, "on-open", G_CALLBACK(detail::onChannelOpen), shared_);
    connectShared(dataChannel_, "notify::ready-state", G_CALLBACK(detail::onChannelState), shared_);
    connectShared(dataChannel_, "on-message-string", G_CALLBACK(detail::onMessageString), shared_);
    connectShared(dataChannel_, "on-message-data", G_CALLBACK(detail::onMessageData), shared_);
}

WebRTCConnector::~WebRTCConnector() {
    bool letChannelClose = false;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closing = true;
        letChannelClose = shared_->channelOpen;
        shared_->channelOpen = false;
        shared_->pending.clear();
    }
    // Closing the peer connection: an open channel is closed first, so that the other side hears
    // of it, then the pipeline stops, which ends ICE, DTLS and every streaming thread.
    if (letChannelClose && dataChannel_) {
        gst_webrtc_data_channel_close(dataChannel_);
        std::unique_lock lock(shared_->mutex);
        if (shared_->channelChanged.wait_for(lock, channelCloseLimit, [&] { return shared_->channelClosed; })) {
            lock.unlock();
            std::this_thread::sleep_for(channelCloseGrace);
        }
    }
    if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_NULL);
    shared_->stream.finish();
    DisconnectHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = std::move(handler_);
    }
    if (handler) handler();
    if (dataChannel_) g_object_unref(dataChannel_);
    if (pipeline_) gst_object_unref(pipeline_);
}

asio::awaitable<std::shared_ptr<Connector>> WebRTCConnector::connect(platform::HttpClient& http,
                                                                     platform::HttpRequest request,
                                                                     WebRTCOptions options) {
    // A half-built connector is torn down like any other when construction fails.
    std::shared_ptr<WebRTCConnector> connector(new WebRTCConnector(ServerEventStream::make()));
    connector->start(options);
    co_await connector->negotiate(http, std::move(request));
    co_return connector;
}

asio::awaitable<void> WebRTCConnector::negotiate(platform::HttpClient& http, platform::HttpRequest request) {
    auto offerReply = co_await awaitPromise("The offer", [this](GstPromise* promise) {
        g_signal_emit_by_name(webrtc_, "create-offer", nullptr, promise);
    });
    GstWebRTCSessionDescription* offer = nullptr;
    if (offerReply) {
        gst_structure_get(offerReply.get(), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    }
    if (!offer) throw NegotiationError("The peer connection gave no offer");
    std::shared_ptr<GstWebRTCSessionDescription> offerHolder(offer, gst_webrtc_session_description_free);
    detail::nameTrack(offer->sdp);

    co_await awaitPromise("Setting the offer", [this, offer](GstPromise* promise) {
        g_signal_emit_by_name(webrtc_, "set-local-description", offer, promise);
    });

    request.body = sdpText(offer);
    auto reply = co_await http.perform(std::move(request));
    if (reply.status != 201 || !isUtf8(reply.body)) throw WebRTCError(WebRTCError::Code::badServerResponse);

    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(reply.body.c_str(), &message);
    if (!message) throw NegotiationError("The answer could not be read");
    std::shared_ptr<GstWebRTCSessionDescription> answer(
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message), gst_webrtc_session_description_free);
    co_await awaitPromise("Setting the answer", [this, &answer](GstPromise* promise) {
        g_signal_emit_by_name(webrtc_, "set-remote-description", answer.get(), promise);
    });
}

DisconnectHandler WebRTCConnector::onDisconnect() const {
    std::lock_guard lock(handlerMutex_);
    return handler_;
}

void WebRTCConnector::onDisconnect(DisconnectHandler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

asio::awaitable<void> WebRTCConnector::send(const ClientEvent& event) {
    // Not a coroutine: the message leaves (or is queued) now, in the caller's order.
    std::string text;
    try {
        text = encode(event);
    } catch (...) {
        return rethrow(std::current_exception());
    }
    std::lock_guard sending(shared_->sendMutex);
    bool open;
    {
        std::lock_guard lock(shared_->mutex);
        open = shared_->channelOpen;
        if (!open && !shared_->closing && !shared_->channelClosed) shared_->pending.push_back(std::move(text));
    }
    if (open) detail::sendText(dataChannel_, text);
    return done();
}

}  // namespace realtime
