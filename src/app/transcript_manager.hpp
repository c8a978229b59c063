#pragma once
// The transcript of the running call and its upload to the backend. Confined to the main
// executor. A transcript whose upload fails is kept in the outbox and posted again by
// resendOutbox(), which runs at start-up and after every successful upload.

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/network_service.hpp"
#include "app/transcript_entry.hpp"
#include "app/transcript_outbox.hpp"

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
    // Without an outbox a failed upload is dropped.
    TranscriptManager(NetworkService network, std::optional<TranscriptOutbox> outbox);

    // The entries of the running call, in the order they were collected.
    std::vector<TranscriptEntry> sessionEntries;

    // Uploads the entries (if any) and empties the list. Never fails: a failed upload is kept in
    // the outbox; a successful one is followed by resendOutbox().
    boost::asio::awaitable<void> sendTranscript();
    // Throws TranscriptError.
    boost::asio::awaitable<void> postTranscript(std::vector<TranscriptEntry> entries);
    // Sends the payload as JSON and returns the status; the reply body is not read.
    boost::asio::awaitable<int> postPayload(TranscriptPayload payload, std::string endpoint);
    // Posts the kept transcripts, oldest first, removing each one that the backend accepts; stops
    // at the first failure. Never fails. A second call while one runs returns at once.
    boost::asio::awaitable<void> resendOutbox();

private:
    boost::asio::awaitable<int> postBody(std::string body, std::string endpoint);
    void keep(const std::string& body);

    NetworkService network_;
    std::optional<TranscriptOutbox> outbox_;
    bool resending_ = false;
};

}  // namespace kestro
