#pragma once
// The presses and releases of one name's shortcut, as an asynchronous stream with an unbounded
// buffer. The consumer ends it by destroying it, calling end(), or cancelling the task that
// awaits next(); the layer never ends a stream by itself.

#include <boost/asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>

namespace GlobalShortcuts {

enum class EventType { keyDown, keyUp };

class EventStream {
public:
    struct Channel;

    EventStream() = default;  // an ended stream
    explicit EventStream(std::shared_ptr<Channel> channel);
    EventStream(EventStream&&) noexcept = default;
    EventStream& operator=(EventStream&& other) noexcept;
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;
    ~EventStream();

    // The next event, or none once the stream has ended.
    boost::asio::awaitable<std::optional<EventType>> next();
    // The next buffered event, without waiting.
    std::optional<EventType> tryNext();
    void end();
    bool ended() const;

    // The producing side, kept by the layer.
    static std::shared_ptr<Channel> makeChannel(std::optional<EventType> only, std::function<void()> onEnd);
    static void yield(Channel& channel, EventType event);
    static bool isEnded(const Channel& channel);

private:
    std::shared_ptr<Channel> channel_;
};

}  // namespace GlobalShortcuts
