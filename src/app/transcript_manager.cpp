#include "app/transcript_manager.hpp"

#include <algorithm>
#include <boost/asio/use_awaitable.hpp>
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

TranscriptManager::~TranscriptManager() { *alive_ = false; }

boost::asio::awaitable<void> TranscriptManager::sendTranscript() {
    if (sessionEntries.empty()) co_return;
    std::vector<TranscriptEntry> entries = sessionEntries;
    auto alive = alive_;
    unfinished_ = Upload{encodeTranscriptPayload(TranscriptPayload{entries}), std::nullopt};
    bool sent = false;
    try {
        co_await postTranscript(entries);
        sent = true;
    } catch (const std::exception&) {
    }
    if (!*alive) co_return;
    Upload upload = std::move(*unfinished_);
    unfinished_.reset();
    sessionEntries.clear();
    if (upload.keptAs) {
        // Kept already because the application was ending; it got through after all.
        if (sent && outbox_) outbox_->remove(*upload.keptAs);
    } else if (!sent) {
        if (keep(upload.body) && resender_) wakeResender(resender_->nextPause);
    }
    if (sent) wakeResender(std::chrono::nanoseconds::zero());
}

void TranscriptManager::keepUnfinishedUpload() {
    if (unfinished_ && !unfinished_->keptAs) unfinished_->keptAs = keep(unfinished_->body);
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
    BackendRequest request{std::move(endpoint), HTTPMethod::post, 30, true, transcriptIdempotencyKey(body)};
    BackendReply reply = co_await network_.request(std::move(request), std::move(body));
    co_return reply.status;
}

boost::asio::awaitable<void> TranscriptManager::resendOutbox() {
    if (!outbox_ || resending_) co_return;
    auto alive = alive_;
    resending_ = true;
    for (const auto& file : outbox_->files()) {
        auto credential = network_.credential();
        if (!credential || trimWhitespace(*credential).empty()) break;
        auto claimed = outbox_->claim(file);
        if (!claimed) continue;
        bool reachable = true;
        try {
            std::string endpoint = transcriptEndpoint;
            int status = co_await postBody(claimed->body(), std::move(endpoint));
            if (*alive && accepted(status)) claimed->removeFile();
        } catch (const NetworkService::NetworkError& error) {
            // Refused (too large, say): it stays, and does not hold back the others.
            reachable = error.kind() == NetworkService::NetworkError::Kind::httpError;
        } catch (const std::exception&) {
            reachable = false;
        }
        if (!*alive) co_return;
        if (!reachable) break;  // the rest would fail the same way
    }
    resending_ = false;
}

void TranscriptManager::startResending(boost::asio::any_io_executor main, boost::asio::any_io_executor timers,
                                       RetryPauses pauses) {
    resender_.emplace();
    resender_->main = std::move(main);
    resender_->timers = std::move(timers);
    resender_->pauses = pauses;
    resender_->nextPause = pauses.first;
    resender_->timer = std::make_unique<platform::ContinuousTimer>(resender_->timers);
    wakeResender(std::chrono::nanoseconds::zero());
}

void TranscriptManager::wakeResender(std::chrono::nanoseconds pause) {
    if (!resender_) return;
    auto& resender = *resender_;
    if (pause == std::chrono::nanoseconds::zero()) resender.nextPause = resender.pauses.first;
    if (resender.posting) {
        resender.again = resender.again || pause == std::chrono::nanoseconds::zero();
        return;
    }
    // A resender waiting out a pause keeps it, unless it is asked to post now.
    if (pause != std::chrono::nanoseconds::zero() && resender.task && !resender.task.isFinished()) return;
    resender.task = platform::spawnTask(resender.main, resend(this, alive_, ++resender.generation, pause));
}

boost::asio::awaitable<void> TranscriptManager::resend(TranscriptManager* self, std::shared_ptr<bool> alive,
                                                       std::uint64_t generation, std::chrono::nanoseconds pause) {
    for (;;) {
        if (pause > std::chrono::nanoseconds::zero()) {
            try {
                self->resender_->timer->expires_after(pause);
                co_await self->resender_->timer->async_wait(boost::asio::use_awaitable);
            } catch (const boost::system::system_error&) {
                co_return;  // replaced by a resender that posts now, or ended with the manager
            }
            if (!*alive || self->resender_->generation != generation) co_return;
        }
        auto& resender = *self->resender_;
        resender.posting = true;
        resender.again = false;
        co_await self->resendOutbox();
        if (!*alive) co_return;
        resender.posting = false;
        if (resender.again) {
            pause = std::chrono::nanoseconds::zero();
            continue;
        }
        if (self->outbox_->files().empty()) {
            resender.nextPause = resender.pauses.first;
            co_return;
        }
        pause = resender.nextPause;
        resender.nextPause = std::min(2 * resender.nextPause, resender.pauses.longest);
    }
}

std::optional<std::filesystem::path> TranscriptManager::keep(const std::string& body) {
    if (!outbox_) return std::nullopt;
    try {
        return outbox_->save(body);
    } catch (const std::exception& error) {
        std::cerr << "kestro: cannot keep the transcript for a later upload: " << error.what() << '\n';
    }
    return std::nullopt;
}

}  // namespace kestro
