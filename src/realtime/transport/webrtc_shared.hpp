#pragma once
// What a WebRTC connector shares with GStreamer's callbacks: the producer side of its event stream,
// the state of its data channel, the disconnect handler and the watch on the other side. The
// callbacks hold it through their closures; it holds no GStreamer object, so there is no cycle, and
// the connector may be destroyed while a callback runs.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "realtime/transport/connector.hpp"
#include "realtime/transport/server_event_receiver.hpp"

namespace realtime::detail {

// How long the other side may stay silent, or the connection disconnected, before it counts as
// gone. Silence is counted in packets past ICE (its STUN checks stay inside libnice): a live peer
// reports on the audio this side always sends with RTCP at least every 6.2 seconds (the longest
// randomised interval of RTP's rules), and sends its own audio besides.
inline constexpr std::chrono::milliseconds peerSilenceLimit{7000};

struct WebRTCShared : std::enable_shared_from_this<WebRTCShared> {
    using Clock = std::chrono::steady_clock;

    WebRTCShared(ServerEventStream::Continuation continuation, asio::any_io_executor executor);

    ServerEventStream::Continuation stream;

    // Held across each send and across the flush when the channel opens, so that messages queued
    // while the channel was connecting leave before any later one.
    std::mutex sendMutex;
    std::mutex mutex;  // the fields below; never held while calling into the data channel
    std::condition_variable channelChanged;
    bool closing = false;      // teardown has begun: nothing is added to the pipeline any more
    bool channelOpen = false;
    bool channelClosed = false;
    bool peerGone = false;     // the other side has gone (or closed): the stream has ended
    std::optional<Clock::time_point> disconnectedSince;
    std::vector<std::string> pending;  // sent while the channel was still connecting
    ServerEventReceiver receiver;  // decodes the data channel's messages

    // When the last packet of any kind arrived from the other side; 0 before the first.
    std::atomic<Clock::rep> lastReceived{0};

    // Decodes one data-channel message into the stream.
    void receive(std::string_view text);

    // The other side has gone: ends the stream (normally when `error` is null: it said goodbye),
    // makes later sends fail and calls the disconnect handler once, on the strand, never on the
    // GStreamer thread that noticed. Does nothing during teardown or a second time.
    void lose(std::exception_ptr error);
    // The connection is disconnected (true) or connected again (false).
    void disconnected(bool now);
    // Checks twice a second whether the other side has been silent or disconnected too long.
    void startWatch();

    void setHandler(DisconnectHandler handler);
    DisconnectHandler handler() const;
    // Calls the handler unless it has been called already; later calls do nothing.
    void callHandlerOnce();

private:
    void scheduleCheck();

    asio::strand<asio::any_io_executor> strand_;
    asio::steady_timer check_;  // used on the strand only
    mutable std::mutex handlerMutex_;
    DisconnectHandler handler_;
    bool handlerCalled_ = false;
};

}  // namespace realtime::detail
