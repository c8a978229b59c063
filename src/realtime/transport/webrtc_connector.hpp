#pragma once
// The connector over a WebRTC peer connection (GStreamer's webrtcbin, ICE through libnice, no ICE
// servers). The microphone travels as an Opus audio track ("audio0" in the stream "stream0")
// through echo cancellation, gain control, noise suppression and a high-pass filter; the events
// travel as JSON on the data channel "oai-events". The connection is negotiated once: the local
// SDP offer is the body of the caller's prepared HTTP request, and the reply's body (status 201)
// is the answer. The other side's audio plays through the audio sink.
//
// GStreamer's callbacks run on its own threads; they touch only the event stream, the printed
// lines and the connector's shared state, never the connector itself, so the connector may be
// destroyed at any moment. Teardown closes the peer connection (the pipeline goes to NULL, which
// ends every GStreamer thread of the connection), ends the stream normally and then calls the
// disconnect handler, unless it has run already.
//
// The other side going away is noticed too: when it closes the data channel or the connection, the
// stream ends normally; when the connection fails, or stays disconnected or silent (nothing but
// ICE's own checks) for seven seconds, the stream ends with a ConnectionError. Either way later sends
// fail and the disconnect handler runs then, once in all, on the executor connect() ran on.

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/http/http_client.hpp"
#include "realtime/transport/connector.hpp"

typedef struct _GstElement GstElement;
typedef struct _GstWebRTCDataChannel GstWebRTCDataChannel;

namespace realtime {

struct WebRTCOptions {
    // The local addresses ICE may gather candidates on (e.g. "127.0.0.1"); empty: every address
    // of the machine.
    std::vector<std::string> localAddresses;
    // The element the microphone is read from, as a gst-launch description.
    std::string audioSource = "pulsesrc";
    // The element the other side's audio plays through, as a gst-launch description.
    std::string audioSink = "pulsesink";
};

namespace detail {
struct WebRTCShared;
}

class WebRTCConnector final : public Connector {
public:
    class WebRTCError : public std::runtime_error {
    public:
        enum class Code {
            failedToCreateDataChannel,
            failedToCreatePeerConnection,
            badServerResponse,  // not a 201 reply with a UTF-8 body
        };
        explicit WebRTCError(Code code);
        Code code;
    };

    // The connection ended without teardown: the other side went away without a goodbye, or the
    // connection failed. Ends the event stream; a send after the connection has ended (however
    // it ended) fails with it too.
    class ConnectionError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // A step of the negotiation that GStreamer refused (creating the offer, setting either
    // description); the text is GStreamer's.
    class NegotiationError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Connects: builds the peer connection, sends the offer as the body of `request` (whose URL,
    // method, authorization and content type the caller has set) through `http`, and sets the
    // reply as the answer. Returns once the connection is negotiated; the data channel opens
    // afterwards. Fails with WebRTCError, NegotiationError or the HttpError of the exchange.
    // Cancelling the awaiting coroutine abandons the connection.
    static asio::awaitable<std::shared_ptr<Connector>> connect(platform::HttpClient& http,
                                                               platform::HttpRequest request,
                                                               WebRTCOptions options = {});
    ~WebRTCConnector() override;

    WebRTCConnector(const WebRTCConnector&) = delete;
    WebRTCConnector& operator=(const WebRTCConnector&) = delete;

    ServerEventStream events() const override { return events_; }
    DisconnectHandler onDisconnect() const override;
    void onDisconnect(DisconnectHandler handler) override;
    // Sends the event as one text message. Events sent while the channel is still connecting
    // leave, in order, once it opens; the channel's refusal is not reported. Fails with
    // ConnectionError once the other side has gone or closed the channel.
    asio::awaitable<void> send(const ClientEvent& event) override;

private:
    WebRTCConnector(std::pair<ServerEventStream, ServerEventStream::Continuation> stream,
                    asio::any_io_executor executor);
    // Builds the peer connection, its track and its data channel.
    void start(const WebRTCOptions& options);
    asio::awaitable<void> negotiate(platform::HttpClient& http, platform::HttpRequest request);

    ServerEventStream events_;
    std::shared_ptr<detail::WebRTCShared> shared_;
    GstElement* pipeline_ = nullptr;
    GstElement* webrtc_ = nullptr;  // owned by the pipeline
    GstWebRTCDataChannel* dataChannel_ = nullptr;
};

}  // namespace realtime
