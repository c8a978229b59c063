#pragma once
// An answering peer we did not write: aiortc (Debian's python3-aiortc) in a process of its own,
// running aiortc_answerer.py. It answers offers POSTed to offerUrl() with 201 and its SDP answer,
// sends a silent Opus track, takes the "oai-events" channel and gathers ICE on 127.0.0.1 only. It
// ends by itself after its lifetime, and is killed when the object goes.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "e2e-app/child_process.hpp"

namespace webrtc_test {

class AiortcPeer {
public:
    // Whether the system's Python has aiortc; the tests that need it skip otherwise.
    static bool available();

    // Starts the script and waits until it listens; throws std::runtime_error when it does not.
    explicit AiortcPeer(std::chrono::seconds lifetime = std::chrono::seconds(120));
    ~AiortcPeer();
    AiortcPeer(const AiortcPeer&) = delete;
    AiortcPeer& operator=(const AiortcPeer&) = delete;

    std::string offerUrl() const;

    // Sends `text` on the newest channel; false when it has no open channel.
    bool send(const std::string& text);
    // Closes the newest channel, or the newest peer connection as a whole (SCTP ABORT, then the
    // DTLS close_notify). False when there is none.
    bool closeChannel();
    bool closeConnection();
    // The peer's own account: "channels=N open=N messages=N audio=N newest=STATE".
    std::string state();
    // The audio frames it has decoded from the offerers' tracks.
    long audioFrames();

    // Ends the process at once (SIGKILL): nothing more is sent, not even a goodbye.
    void kill();

    // What the script printed, for a failure's message.
    std::string log() const;

private:
    // One request to the script; the status and the body, or status 0 when it cannot be reached.
    std::pair<int, std::string> call(const std::string& method, const std::string& path, const std::string& body = {});

    std::filesystem::path folder_;
    std::unique_ptr<e2e::ChildProcess> process_;
    int port_ = 0;
};

}  // namespace webrtc_test
