#pragma once
// Ending the application without losing the running call. Whatever asks the application to end
// (Quit in the menu, SIGTERM, SIGINT or SIGHUP as a desktop session sends them at logout, the
// session manager) ends a running call the way End Call does: its transcript is posted, or kept in
// the outbox when the post fails or has not finished within the bound, and its connection closes
// with "going away". Only then is the application told that it may end.
//
// Confined to the main executor, except the signal watch, which only posts to it.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "app/session_manager.hpp"
#include "app/transcript_manager.hpp"
#include "platform/runtime/task.hpp"

namespace kestro {

class GracefulExit {
public:
    struct Parts {
        boost::asio::any_io_executor main;
        boost::asio::any_io_executor timers;
        std::shared_ptr<SessionManager> sessionManager;
        std::shared_ptr<TranscriptManager> transcripts;
        // How many call connections are still closing (their closing handshake included).
        std::function<std::size_t()> openConnections;
        // Called once, on the main executor, when the application may end.
        std::function<void()> done;
        // How long the upload and the closing may take before the application ends anyway.
        std::chrono::nanoseconds bound = std::chrono::seconds(3);
    };

    explicit GracefulExit(Parts parts);
    ~GracefulExit();
    GracefulExit(const GracefulExit&) = delete;
    GracefulExit& operator=(const GracefulExit&) = delete;

    // Ends the running call, then calls `done`; later requests do nothing.
    void request();
    bool finished() const { return finished_; }

    // From now on SIGTERM, SIGINT and SIGHUP call request() on the main executor instead of
    // ending the process. `watcher` runs the watch (the shared executor).
    void watchSignals(boost::asio::any_io_executor watcher);

    // Until watchSignals(), those signals are only noted, so that one that comes while the app
    // starts (a session ending at that moment) is handled once the watch begins instead of
    // killing the process. Call first thing.
    static void holdSignalsUntilWatched();

private:
    static boost::asio::awaitable<void> endCall(GracefulExit* self, std::shared_ptr<bool> alive);
    void watchNextSignal();

    Parts parts_;
    bool requested_ = false;
    bool finished_ = false;
    platform::TaskHandle task_;
    std::optional<boost::asio::signal_set> signals_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestro
