#pragma once
// The transcript of the running call and its upload to the backend. Confined to the main
// executor. A transcript whose upload fails is kept in the outbox; the resender (see
// startResending()) posts the kept ones again in the background, at start-up, after every
// successful upload and, while some are left, with a growing pause between attempts.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/network_service.hpp"
#include "app/transcript_entry.hpp"
#include "app/transcript_outbox.hpp"
#include "platform/runtime/task.hpp"

namespace kestro {

class TranscriptError : public std::runtime_error {
public:
    enum class Kind : std::uint8_t { networkError, postingError, missingCredential, emptySession };
    // "Network error: " followed by the underlying error's text.
    static TranscriptError networkError(const std::string& underlying);
    // "Server error: HTTP " followed by the status.
    static TranscriptError postingError(int status);
    static TranscriptError missingCredential();
    static TranscriptError emptySession();
    Kind kind() const { return kind_; }
    int status() const { return status_; }

private:
    TranscriptError(Kind kind, const std::string& text, int status = 0)
        : std::runtime_error(text), kind_(kind), status_(status) {}
    Kind kind_;
    int status_;
};

class TranscriptManager {
public:
    // The pauses between attempts at posting what the outbox keeps: the first, doubled after
    // each attempt that leaves something behind, up to the longest.
    struct RetryPauses {
        std::chrono::nanoseconds first = std::chrono::seconds(30);
        std::chrono::nanoseconds longest = std::chrono::minutes(30);
    };

    // Without an outbox a failed upload is dropped.
    TranscriptManager(NetworkService network, std::optional<TranscriptOutbox> outbox);
    ~TranscriptManager();
    TranscriptManager(const TranscriptManager&) = delete;
    TranscriptManager& operator=(const TranscriptManager&) = delete;

    // The entries of the running call, in the order they were collected.
    std::vector<TranscriptEntry> sessionEntries;

    // Uploads the entries (if any) and empties the list. Never fails: a failed upload is kept in
    // the outbox; a successful one wakes the resender.
    boost::asio::awaitable<void> sendTranscript();
    // Keeps the transcript whose upload is still under way in the outbox now, as when the
    // application must end before the upload finishes. Should the upload still succeed, the kept
    // copy is removed again.
    void keepUnfinishedUpload();
    // Throws TranscriptError.
    boost::asio::awaitable<void> postTranscript(std::vector<TranscriptEntry> entries);
    // Sends the payload as JSON and returns the status; the reply body is not read.
    boost::asio::awaitable<int> postPayload(TranscriptPayload payload, std::string endpoint);
    // Posts the kept transcripts, oldest first, removing each one that the backend accepts. One
    // the backend refuses stays for a later attempt and the next is tried; when the backend
    // cannot be reached the rest wait too. A file another process has claimed is left to it.
    // Never fails. A second call while one runs returns at once.
    boost::asio::awaitable<void> resendOutbox();
    // Starts the resender: a background task on the main executor (sleeping on `timers`) that
    // runs resendOutbox() at once and again after each pause while something is kept. It ends
    // with the manager.
    void startResending(boost::asio::any_io_executor main, boost::asio::any_io_executor timers,
                        RetryPauses pauses);
    void startResending(boost::asio::any_io_executor main, boost::asio::any_io_executor timers) {
        startResending(std::move(main), std::move(timers), RetryPauses{});
    }

private:
    boost::asio::awaitable<int> postBody(std::string body, std::string endpoint);
    std::optional<std::filesystem::path> keep(const std::string& body);
    // Runs the resender after `pause` unless it is posting already (then it goes round again).
    void wakeResender(std::chrono::nanoseconds pause);
    static boost::asio::awaitable<void> resend(TranscriptManager* self, std::shared_ptr<bool> alive,
                                               std::uint64_t generation, std::chrono::nanoseconds pause);

    NetworkService network_;
    std::optional<TranscriptOutbox> outbox_;
    bool resending_ = false;
    // Set to false when the manager goes: coroutines resuming after that touch nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    struct Upload {
        std::string body;
        std::optional<std::filesystem::path> keptAs;
    };
    std::optional<Upload> unfinished_;

    struct Resender {
        boost::asio::any_io_executor main, timers;
        RetryPauses pauses;
        std::chrono::nanoseconds nextPause{};
        bool posting = false, again = false;
        // Of the current task; one it replaced stops when it next wakes.
        std::uint64_t generation = 0;
        // The pauses' timer belongs to the manager, not to the task: a task still waiting when
        // the application ends must not hold a timer past the executor that runs it.
        std::unique_ptr<platform::ContinuousTimer> timer;
        platform::TaskHandle task;
    };
    std::optional<Resender> resender_;
};

}  // namespace kestro
