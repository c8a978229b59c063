#pragma once
// The other side of the WebRTC tests: a webrtcbin of its own that answers an offer, sends a silent
// Opus track back, and records what arrives on the data channel the offer opened. Its ICE agent
// gathers on 127.0.0.1 only. Everything here is safe from any thread; the waits give up after
// their limit.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace webrtc_test {

using namespace std::chrono_literals;

// How long a step of a connection (gathering, the handshakes, a message) may take before a wait
// gives up: on a machine running the whole suite under ThreadSanitizer it takes seconds.
inline constexpr std::chrono::milliseconds patience = 20s;

struct ChannelMessage {
    bool binary = false;
    std::string data;
};

class AnsweringPeer {
public:
    AnsweringPeer();
    ~AnsweringPeer();
    AnsweringPeer(const AnsweringPeer&) = delete;
    AnsweringPeer& operator=(const AnsweringPeer&) = delete;

    // The SDP answer to `offer`, with this side's candidates, once its ICE gathering is complete.
    // Throws std::runtime_error when a step fails.
    std::string answer(const std::string& offer);

    bool waitForChannelOpen(std::chrono::milliseconds limit = patience) const;
    bool waitForChannelClosed(std::chrono::milliseconds limit = patience) const;
    bool waitForMessages(std::size_t count, std::chrono::milliseconds limit = patience) const;
    std::string channelLabel() const;
    std::vector<ChannelMessage> messages() const;

    // The caps the RTP session of this side has for the stream it sends; empty before any flow.
    std::string sentStreamCaps() const;

    // Sends on the data channel; false when it is not open.
    bool sendText(const std::string& text);
    bool sendBinary(const std::string& bytes);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace webrtc_test
