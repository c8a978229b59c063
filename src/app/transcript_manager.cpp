#include "app/transcript_manager.hpp"

#include <iostream>

#include "app/backend_config.hpp"

namespace kestro {

namespace {

constexpr const char* transcriptEndpoint = "transcript";

bool accepted(int status) { return status >= 200 && status <= 299; }

}  // namespace

TranscriptError TranscriptError::networkError(const std::string& underlying) {
    return TranscriptError(Kind::networkError, "Network error: " + underlying);
}
TranscriptError TranscriptError::postingError(int status) {
    return TranscriptError(Kind::postingError, "Server error: HTTP " + std::to_string(status), status);
}
TranscriptError TranscriptError::missingCredential() {
    return TranscriptError(Kind::missingCredential, "No backend credential is stored");
}
TranscriptError TranscriptError::emptySession() {
    return TranscriptError(Kind::emptySession, "No transcript content to post");
}

TranscriptManager::TranscriptManager(NetworkService network, std::optional<TranscriptOutbox> outbox)
    : network_(std::move(network)), outbox_(std::move(outbox)) {}

boost::asio::awaitable<void> TranscriptManager::sendTranscript() {
    if (sessionEntries.empty()) co_return;
    std::vector<TranscriptEntry> entries = sessionEntries;
    bool sent = false;
    try {
        co_await postTranscript(entries);
        sent = true;
    } catch (const std::exception&) {
        keep(encodeTranscriptPayload(TranscriptPayload{entries}));
    }
    sessionEntries.clear();
    if (sent) co_await resendOutbox();
}

boost::asio::awaitable<void> TranscriptManager::postTranscript(std::vector<TranscriptEntry> entries) {
    auto credential = network_.credential();
    if (!credential || trimWhitespace(*credential).empty()) throw TranscriptError::missingCredential();
    if (entries.empty()) throw TranscriptError::emptySession();
    int status;
    try {
        TranscriptPayload payload{std::move(entries)};
        std::string endpoint = transcriptEndpoint;
        status = co_await postPayload(std::move(payload), std::move(endpoint));
    } catch (const TranscriptError&) {
        throw;
    } catch (const std::exception& error) {
        throw TranscriptError::networkError(error.what());
    }
    if (!accepted(status)) throw TranscriptError::postingError(status);
}

boost::asio::awaitable<int> TranscriptManager::postPayload(TranscriptPayload payload, std::string endpoint) {
    std::string body = encodeTranscriptPayload(payload);
    co_return co_await postBody(std::move(body), std::move(endpoint));
}

boost::asio::awaitable<int> TranscriptManager::postBody(std::string body, std::string endpoint) {
    // Named rather than temporary: g++ 12 mishandles braced temporaries inside co_await.
    BackendRequest request{std::move(endpoint), HTTPMethod::post, 30, true};
    BackendReply reply = co_await network_.request(std::move(request), std::move(body));
    co_return reply.status;
}

boost::asio::awaitable<void> TranscriptManager::resendOutbox() {
    if (!outbox_ || resending_) co_return;
    resending_ = true;
    try {
        for (auto& kept : outbox_->pending()) {
            auto credential = network_.credential();
            if (!credential || trimWhitespace(*credential).empty()) break;
            std::string endpoint = transcriptEndpoint;
            int status = co_await postBody(std::move(kept.body), std::move(endpoint));
            if (!accepted(status)) break;
            outbox_->remove(kept.file);
        }
    } catch (const std::exception&) {
        // Kept for the next attempt.
    }
    resending_ = false;
}

void TranscriptManager::keep(const std::string& body) {
    if (!outbox_) return;
    try {
        outbox_->save(body);
    } catch (const std::exception& error) {
        std::cerr << "kestro: cannot keep the transcript for a later upload: " << error.what() << '\n';
    }
}

}  // namespace kestro
