#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/backend_config.hpp"
#include "app/transcript_entry.hpp"
#include "app/transcript_manager.hpp"
#include "app/transcript_outbox.hpp"
#include "support/backend_environment.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace chr = std::chrono;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kestro::TranscriptEntry;
using kestro::TranscriptError;
using kestro::TranscriptManager;
using kestro::TranscriptOutbox;
using kestro::TranscriptPayload;
using support::ScriptedReply;

chr::system_clock::time_point at(int y, unsigned m, unsigned d, int h, int min, int s) {
    return chr::sys_days{chr::year{y} / chr::month{m} / chr::day{d}} + chr::hours{h} + chr::minutes{min} +
           chr::seconds{s};
}

std::vector<TranscriptEntry> someEntries(const std::string& said = "Hello") {
    return {TranscriptEntry{at(2026, 12, 9, 4, 40, 52) + chr::milliseconds(730), "user", said, "audio"},
            TranscriptEntry{at(2026, 12, 9, 4, 41, 3), "assistant", "Hi there", "text"}};
}

TEST(TranscriptPayload, EncodesEntriesWithWholeSecondUtcTimesInFieldOrder) {
    TranscriptPayload payload{someEntries()};
    std::string json = kestro::encodeTranscriptPayload(payload);
    EXPECT_EQ(json, R"({
  "entries": [
    {
      "timestamp": "2026-12-09T04:40:52Z",
      "role": "user",
      "content": "Hello",
      "type": "audio"
    },
    {
      "timestamp": "2026-12-09T04:41:03Z",
      "role": "assistant",
      "content": "Hi there",
      "type": "text"
    }
  ]
})");
    auto decoded = kestro::decodeTranscriptPayload(json);
    ASSERT_EQ(decoded.entries.size(), 2u);
    EXPECT_EQ(decoded.entries[0].timestamp, at(2026, 12, 9, 4, 40, 52));
    EXPECT_EQ(decoded.entries[1], payload.entries[1]);
    EXPECT_EQ(kestro::encodeTranscriptPayload(TranscriptPayload{}), "{\n  \"entries\": []\n}");

    EXPECT_THROW(kestro::decodeTranscriptPayload(R"({"entries":[{"role":"user","content":"x","type":"text"}]})"),
                 kestro::TranscriptDecodingError);
    EXPECT_THROW(kestro::parseISO8601("2026-12-09T04:40:52+01:00"), kestro::TranscriptDecodingError);
    EXPECT_THROW(kestro::parseISO8601("2026-02-30T04:40:52Z"), kestro::TranscriptDecodingError);
}

class TranscriptUpload : public ::testing::Test {
protected:
    TranscriptUpload() { env.storeCredential("cred"); }

    std::unique_ptr<TranscriptManager> makeManager() {
        return std::make_unique<TranscriptManager>(env.network, TranscriptOutbox(env.outboxFolder()));
    }
    std::vector<TranscriptOutbox::Kept> kept() { return TranscriptOutbox(env.outboxFolder()).pending(); }
    std::vector<TranscriptPayload> uploads() {
        std::vector<TranscriptPayload> payloads;
        for (auto& request : env.backend.requestsTo("/transcript")) {
            payloads.push_back(kestro::decodeTranscriptPayload(request.body));
        }
        return payloads;
    }
    // The error's text, or "ok".
    std::string post(TranscriptManager& manager, std::vector<TranscriptEntry> entries) {
        try {
            support::runToEnd(io, manager.postTranscript(std::move(entries)));
            return "ok";
        } catch (const TranscriptError& error) {
            return error.what();
        }
    }

    // Runs the upload until it has finished; a resender's pauses may still be pending.
    void send(TranscriptManager& manager) {
        bool sent = false;
        boost::asio::co_spawn(io, manager.sendTranscript(), [&](std::exception_ptr) { sent = true; });
        ASSERT_TRUE(support::runUntil(io, [&] { return sent; }));
    }

    boost::asio::io_context io;
    // Times pauses that never end; it goes before `io`, on whose tasks its waits would complete.
    boost::asio::io_context neverRun;
    support::BackendEnvironment env;
};

TEST_F(TranscriptUpload, SendsTheEntriesOnceWithBothHeadersAndEmptiesTheList) {
    env.backend.setReply("/transcript", ScriptedReply::text(200, "ignored"));
    auto manager = makeManager();
    manager->sessionEntries = someEntries();
    support::runToEnd(io, manager->sendTranscript());
    EXPECT_TRUE(manager->sessionEntries.empty());
    support::runToEnd(io, manager->sendTranscript());  // nothing collected: nothing sent

    auto requests = env.backend.requestsTo("/transcript");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer cred");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, kestro::encodeTranscriptPayload(TranscriptPayload{someEntries()}));
    EXPECT_TRUE(kept().empty());
}

TEST_F(TranscriptUpload, UploadErrorsHaveTheirTexts) {
    env.backend.enqueue("/transcript", ScriptedReply{302, "", {{"Location", "/elsewhere"}}, {}, false});
    env.backend.enqueue("/transcript", ScriptedReply::text(500, "down"));
    // Standing rather than queued: libcurl retries once when a reused connection drops.
    env.backend.setReply("/transcript", ScriptedReply::dropped());
    auto manager = makeManager();

    EXPECT_EQ(post(*manager, someEntries()), "Server error: HTTP 302");
    EXPECT_EQ(post(*manager, someEntries()), "Network error: HTTP error: 500");
    EXPECT_EQ(post(*manager, someEntries()), "Network error: The network connection was lost.");
    auto sentSoFar = env.backend.requestsTo("/transcript").size();
    EXPECT_EQ(post(*manager, {}), "No transcript content to post");
    EXPECT_TRUE(env.backend.requestsTo("/elsewhere").empty());

    env.defaults.set(std::string(kestro::credentialKey), " \t ");
    EXPECT_EQ(post(*manager, someEntries()), "No backend credential is stored");
    EXPECT_EQ(env.backend.requestsTo("/transcript").size(), sentSoFar);
}

TEST_F(TranscriptUpload, AFailedUploadIsKeptAndPostedAfterTheNextSuccessfulOne) {
    env.backend.enqueue("/transcript", ScriptedReply::text(500, "down"));
    env.backend.setReply("/transcript", ScriptedReply::text(201, ""));
    auto manager = makeManager();
    manager->startResending(io.get_executor(), neverRun.get_executor());  // only a success wakes it

    manager->sessionEntries = someEntries("first call");
    send(*manager);
    EXPECT_TRUE(manager->sessionEntries.empty());
    auto waiting = kept();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(kestro::decodeTranscriptPayload(waiting[0].body).entries[0].content, "first call");
    EXPECT_EQ(fs::status(waiting[0].file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    manager->sessionEntries = someEntries("second call");
    send(*manager);
    ASSERT_TRUE(support::runUntil(io, [&] { return kept().empty(); }));
    auto sent = uploads();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].entries[0].content, "first call");   // refused
    EXPECT_EQ(sent[1].entries[0].content, "second call");
    EXPECT_EQ(sent[2], sent[0]);                            // again, as it was collected
    EXPECT_TRUE(kept().empty());

    // A backend tells the retry from a new transcript by its key: one key per transcript, the
    // same for each attempt (the first one may have been stored after all), 64 hex digits.
    auto requests = env.backend.requestsTo("/transcript");
    ASSERT_EQ(requests.size(), 3u);
    const auto key = requests[0].header("Idempotency-Key");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 64u);
    EXPECT_EQ(key->find_first_not_of("0123456789abcdef"), std::string::npos) << *key;
    EXPECT_EQ(requests[2].header("Idempotency-Key"), key);
    EXPECT_NE(requests[1].header("Idempotency-Key"), key);
}

TEST_F(TranscriptUpload, KeptTranscriptsArePostedAtStartUpOldestFirstUntilOneFails) {
    {
        auto manager = makeManager();
        for (auto said : {"one", "two", "three"}) {
            env.backend.enqueue("/transcript", ScriptedReply::text(503, ""));
            manager->sessionEntries = someEntries(said);
            support::runToEnd(io, manager->sendTranscript());
        }
    }
    ASSERT_EQ(kept().size(), 3u);

    // Next start: the backend takes the first and refuses the second.
    env.backend.enqueue("/transcript", ScriptedReply::text(200, ""));
    env.backend.enqueue("/transcript", ScriptedReply::text(500, ""));
    auto restarted = makeManager();
    support::runToEnd(io, restarted->resendOutbox());
    auto remaining = kept();
    ASSERT_EQ(remaining.size(), 2u);
    EXPECT_EQ(kestro::decodeTranscriptPayload(remaining[0].body).entries[0].content, "two");

    // Without a credential nothing is tried and nothing is lost.
    env.defaults.remove(std::string(kestro::credentialKey));
    auto before = env.backend.requests().size();
    support::runToEnd(io, restarted->resendOutbox());
    EXPECT_EQ(env.backend.requests().size(), before);
    EXPECT_EQ(kept().size(), 2u);

    env.storeCredential("cred");
    env.backend.setReply("/transcript", ScriptedReply::text(200, ""));
    support::runToEnd(io, restarted->resendOutbox());
    EXPECT_TRUE(kept().empty());
    auto sent = uploads();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2].entries[0].content, "two");
    EXPECT_EQ(sent.back().entries[0].content, "three");
}

TEST_F(TranscriptUpload, ATranscriptTheBackendRefusesNoLongerHoldsBackTheOthers) {
    TranscriptOutbox outbox(env.outboxFolder());
    for (auto said : {"too long", "two", "three"}) {
        outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries(said)}));
    }
    env.backend.enqueue("/transcript", ScriptedReply::text(413, "too large"));
    env.backend.setReply("/transcript", ScriptedReply::text(200, ""));
    auto manager = makeManager();
    support::runToEnd(io, manager->resendOutbox());
    auto remaining = kept();
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_EQ(kestro::decodeTranscriptPayload(remaining[0].body).entries[0].content, "too long");
    auto sent = uploads();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].entries[0].content, "two");
    EXPECT_EQ(sent[2].entries[0].content, "three");

    // A backend that cannot be reached is not asked about each file in turn.
    outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("four")}));
    env.backend.setReply("/transcript", ScriptedReply::dropped());
    support::runToEnd(io, manager->resendOutbox());
    for (std::size_t i = 3; i < uploads().size(); ++i) EXPECT_EQ(uploads()[i].entries[0].content, "too long");
    EXPECT_EQ(kept().size(), 2u);
}

TEST_F(TranscriptUpload, TheResenderRetriesInTheBackgroundUntilTheBackendTakesIt) {
    for (int i = 0; i < 3; ++i) env.backend.enqueue("/transcript", ScriptedReply::text(503, ""));
    env.backend.setReply("/transcript", ScriptedReply::text(200, ""));
    auto manager = makeManager();
    manager->startResending(io.get_executor(), io.get_executor(), {100ms, 150ms});
    manager->sessionEntries = someEntries("kept");
    send(*manager);
    EXPECT_EQ(uploads().size(), 1u) << "the upload waited for a retry";
    ASSERT_EQ(kept().size(), 1u);

    // Refused twice more, then taken; after that the resender rests.
    ASSERT_TRUE(support::runUntil(io, [&] { return kept().empty(); }, 5s));
    support::runUntil(io, [] { return false; }, 400ms);
    auto posted = uploads();
    ASSERT_EQ(posted.size(), 4u);
    for (auto& payload : posted) EXPECT_EQ(payload.entries[0].content, "kept");
}

TEST_F(TranscriptUpload, AFileClaimedElsewhereIsNeverPostedTwice) {
    env.backend.setReply("/transcript", ScriptedReply::text(200, ""));
    TranscriptOutbox outbox(env.outboxFolder());
    auto theirs = outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("theirs")}));
    outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("ours")}));

    // Another process (an outbox of its own) is posting the first one.
    TranscriptOutbox other(env.outboxFolder());
    auto claim = other.claim(theirs);
    ASSERT_TRUE(claim.has_value());
    EXPECT_EQ(kestro::decodeTranscriptPayload(claim->body()).entries[0].content, "theirs");
    EXPECT_FALSE(outbox.claim(theirs).has_value());
    auto manager = makeManager();
    support::runToEnd(io, manager->resendOutbox());
    ASSERT_EQ(uploads().size(), 1u);
    EXPECT_EQ(uploads()[0].entries[0].content, "ours");

    // Posted and removed there: nothing left to post here, even for one that opened it meanwhile.
    claim->removeFile();
    claim.reset();
    EXPECT_FALSE(outbox.claim(theirs).has_value());
    support::runToEnd(io, manager->resendOutbox());
    EXPECT_EQ(uploads().size(), 1u);

    // A claim that ends without posting (its process died) leaves the file to the next one.
    auto again = outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("again")}));
    other.claim(again).reset();
    support::runToEnd(io, manager->resendOutbox());
    EXPECT_EQ(uploads().size(), 2u);
    EXPECT_TRUE(kept().empty());
}

TEST_F(TranscriptUpload, AnUnfinishedUploadKeptAtExitIsKeptOnce) {
    for (int status : {200, 503}) {
        SCOPED_TRACE(status);
        env.backend.setReply("/transcript", ScriptedReply::text(status, "").after(300ms));
        auto manager = makeManager();
        manager->sessionEntries = someEntries("leaving");
        bool sent = false;
        auto before = env.backend.requests().size();
        boost::asio::co_spawn(io, manager->sendTranscript(), [&](std::exception_ptr) { sent = true; });
        ASSERT_TRUE(support::runUntil(io, [&] { return env.backend.requests().size() > before; }));
        manager->keepUnfinishedUpload();
        manager->keepUnfinishedUpload();
        ASSERT_EQ(kept().size(), 1u);
        EXPECT_EQ(kestro::decodeTranscriptPayload(kept()[0].body).entries[0].content, "leaving");
        ASSERT_TRUE(support::runUntil(io, [&] { return sent; }));
        // Taken after all: the kept copy goes; refused: it stays, once.
        EXPECT_EQ(kept().size(), status == 200 ? 0u : 1u);
        fs::remove_all(env.outboxFolder());
    }
}

TEST_F(TranscriptUpload, OnlyTranscriptsWeWroteAreSentFromTheOutbox) {
    env.backend.setReply("/transcript", ScriptedReply::text(200, ""));
    TranscriptOutbox outbox(env.outboxFolder());
    outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("first")}));
    const fs::path dir = env.outboxFolder();
    const auto now = chr::duration_cast<chr::milliseconds>(chr::system_clock::now().time_since_epoch()).count();
    auto named = [&](int n) {
        std::string stamp = std::to_string(now + n);
        stamp.insert(0, 16 - stamp.size(), '0');
        return dir / (stamp + "-1-1.json");
    };
    // Planted under names of ours: a link to a private file, a file too large to be a transcript,
    // text that is not one, and a pipe that nobody writes to.
    support::TemporaryFolder elsewhere;
    const fs::path secret = elsewhere.path() / "secret";
    std::ofstream(secret) << kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("private")});
    fs::create_symlink(secret, named(1));
    {
        std::ofstream large(named(2));
        large << kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("large")});
        large << std::string(TranscriptOutbox::maxBodySize, ' ');
    }
    std::ofstream(named(3)) << "{\"not\": \"a transcript\"}";
    ASSERT_EQ(::mkfifo(named(4).c_str(), 0600), 0);
    outbox.save(kestro::encodeTranscriptPayload(TranscriptPayload{someEntries("last")}));

    ::testing::internal::CaptureStderr();
    auto manager = makeManager();
    support::runToEnd(io, manager->resendOutbox());
    support::runToEnd(io, manager->resendOutbox());
    std::string printed = ::testing::internal::GetCapturedStderr();

    auto sent = uploads();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].entries[0].content, "first");
    EXPECT_EQ(sent[1].entries[0].content, "last");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(named(n)))) << "left where it is: " << named(n);
        auto said = printed.find(named(n).string());
        EXPECT_NE(said, std::string::npos) << printed;
        EXPECT_EQ(said, printed.rfind(named(n).string())) << "said once: " << printed;
    }
    EXPECT_TRUE(fs::exists(secret));
}

TEST(TranscriptOutbox, IsBoundedInNumberAndAge) {
    support::TemporaryFolder folder;
    TranscriptOutbox outbox(folder.path() / "outbox", 3, chr::hours(24));
    for (int i = 0; i < 5; ++i) outbox.save("body " + std::to_string(i));
    auto pending = outbox.pending();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[0].body, "body 2");
    EXPECT_EQ(pending[2].body, "body 4");

    // A file saved two days ago is past the limit; files of other names are not ours to touch.
    auto old = chr::duration_cast<chr::milliseconds>((chr::system_clock::now() - chr::hours(48)).time_since_epoch());
    std::string stamp = std::to_string(old.count());
    stamp.insert(0, 16 - stamp.size(), '0');
    std::ofstream(folder.path() / "outbox" / (stamp + "-1-1.json")) << "old";
    std::ofstream(folder.path() / "outbox" / "notes.txt") << "mine";
    EXPECT_EQ(outbox.pending().size(), 3u);
    EXPECT_FALSE(fs::exists(folder.path() / "outbox" / (stamp + "-1-1.json")));
    EXPECT_TRUE(fs::exists(folder.path() / "outbox" / "notes.txt"));

    EXPECT_EQ(fs::status(folder.path() / "outbox").permissions(), fs::perms::owner_all);
}

}  // namespace
