#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>
#include <future>
#include <set>
#include <thread>

#include "analytics/network/reachability.hpp"
#include "analytics/queue/plover_queue.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"
#include "analytics_fixtures.hpp"
#include "fake_flag_source.hpp"
#include "support/ingestion_server.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using plover::PloverEvent;
using plover::PloverQueue;
using analytics_test::FakeFlagSource;
using plover::Reachability;
using support::ScriptedReply;
namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;

struct QueueFixture : ::testing::Test {
    support::TemporaryFolder folder;
    support::IngestionServer server;
    // Both outlive the client's worker, which posts to them and may still hold a queue (and its
    // strand on the background thread) when a test ends with an upload under way.
    asio::io_context main;
    asio::thread_pool background{1};
    std::shared_ptr<platform::HttpClient> http = std::make_shared<platform::HttpClient>();
    std::shared_ptr<plover::PloverConfig> config = analytics_test::makeConfig("test-key", server.host());
    std::mutex clockMutex;
    plover::Date now = plover::Date(1709622489000ms);

    void advance(std::chrono::milliseconds by) {
        std::lock_guard lock(clockMutex);
        now += by;
    }
    std::shared_ptr<PloverQueue> makeQueue(std::shared_ptr<Reachability> reachability = nullptr,
                                           plover::PloverApiEndpoint endpoint = plover::PloverApiEndpoint::batch,
                                           std::string folderName = "plover.queueFolder") {
        auto api = std::make_shared<plover::PloverApi>(config, http);
        return PloverQueue::create(config, api, endpoint, std::move(reachability),
                                   std::make_unique<plover::PloverFileBackedQueue>(folder.path() / folderName),
                                   background.get_executor(), main.get_executor(), [this] {
                                       std::lock_guard lock(clockMutex);
                                       return now;
                                   });
    }
    static PloverEvent event(const std::string& name) {
        return PloverEvent(name, "person", {}, std::chrono::system_clock::now(), plover::TimeBasedEpochGenerator::v7());
    }
    // Events of every batch the server received, in order.
    std::vector<std::vector<std::string>> batches() {
        std::vector<std::vector<std::string>> all;
        for (auto& request : server.decodedRequests()) {
            auto body = json::parse(request.body);
            auto& events = request.path == "/batch" ? body.at("batch").as_array() : body.as_array();
            std::vector<std::string> names;
            for (auto& e : events) names.emplace_back(e.at("event").as_string());
            all.push_back(names);
        }
        return all;
    }
    bool settled(const PloverQueue& queue) { return !queue.isFlushing(); }
    // Flushes once and waits until that upload has been dealt with.
    void flushAndSettle(PloverQueue& queue, std::size_t requestsBefore) {
        queue.flush();
        ASSERT_TRUE(support::eventually([&] { return server.requests().size() > requestsBefore && settled(queue); }));
    }
};

TEST_F(QueueFixture, TheTwentiethEventStartsABatchOfAtMostFifty) {
    config->maxQueueSize = 2000;
    {
        plover::PloverFileBackedQueue earlier(folder.path() / "plover.queueFolder");
        for (int i = 0; i < 60; ++i) earlier.add(json::serialize(event("old" + std::to_string(i)).toJSON()));
    }
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    auto queue = makeQueue();
    queue->start(true, true);
    EXPECT_EQ(queue->depth(), 60u);
    flushAndSettle(*queue, 0);
    ASSERT_EQ(batches().size(), 1u);
    EXPECT_EQ(batches()[0].size(), 50u);
    EXPECT_EQ(batches()[0][0], "old0");
    EXPECT_EQ(queue->depth(), 10u);
    flushAndSettle(*queue, 1);
    EXPECT_EQ(batches()[1].size(), 10u);
    EXPECT_EQ(queue->depth(), 0u);

    for (int i = 0; i < 19; ++i) queue->add(event("e" + std::to_string(i)));
    EXPECT_FALSE(queue->isFlushing());
    EXPECT_EQ(server.requests().size(), 2u);
    queue->add(event("e19"));
    ASSERT_TRUE(support::eventually([&] { return server.requests().size() == 3 && settled(*queue); }));
    EXPECT_EQ(batches()[2].size(), 20u);
    EXPECT_EQ(queue->depth(), 0u);
}

TEST_F(QueueFixture, AFullQueueDropsItsOldestEvent) {
    config->flushAt = 100000;
    auto queue = makeQueue();
    queue->start(true, true);
    for (int i = 0; i < 1000; ++i) queue->add(event("e" + std::to_string(i)));
    LogCapture log;
    queue->add(event("e1000"));
    EXPECT_EQ(queue->depth(), 1000u);
    EXPECT_EQ(log.lines().front(), "[Plover] Queue is full, dropping oldest event");
    EXPECT_EQ(log.lines().back(), "[Plover] Queued event 'e1000'. Depth: 1000");

    auto bad = event("bad");
    bad.properties["ratio"] = std::nan("");
    log.clear();
    queue->add(bad);
    EXPECT_EQ(queue->depth(), 1000u);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "[Plover] Tried to queue unserialisable PloverEvent the property \"ratio\" has no JSON form");

    config->maxBatchSize = 1;
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    flushAndSettle(*queue, 0);
    EXPECT_EQ(batches()[0], std::vector<std::string>{"e1"});
}

TEST_F(QueueFixture, FailedUploadsBackOffFiveSecondsMoreEachTimeUpToThirty) {
    config->flushAt = 100000;
    auto queue = makeQueue();
    queue->start(true, true);
    queue->add(event("kept"));
    // Answers the service may change its mind about (a refusal in the 5xx range is bounded: see
    // the poison batch below).
    for (int i = 0; i < 7; ++i) server.enqueue("/batch", ScriptedReply{301, "", {{"Location", "/"}}, {}, false});
    server.enqueue("/batch", ScriptedReply::json(200, "{}"));
    LogCapture log;
    const double pauses[] = {5, 10, 15, 20, 25, 30, 30};
    for (int attempt = 0; attempt < 7; ++attempt) {
        SCOPED_TRACE(attempt);
        log.clear();
        flushAndSettle(*queue, static_cast<std::size_t>(attempt));
        std::string pause = std::to_string(static_cast<int>(pauses[attempt])) + ".0";
        std::string failures = std::to_string(attempt + 1) + ".0";
        auto lines = log.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "[Plover] Pausing queue consumption for " + pause + " seconds due to " + failures +
                                " API failure(s)."),
                  lines.end());
        EXPECT_EQ(queue->depth(), 1u);
        advance(std::chrono::milliseconds(static_cast<int>(pauses[attempt] * 1000) - 1));
        log.clear();
        EXPECT_FALSE(queue->canFlush());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("[Plover] The queue is paused until `2024-03-05 07:", 0), 0u) << log.lines()[0];
        EXPECT_EQ(log.lines()[0].substr(log.lines()[0].size() - 7), " +0000`");
        advance(1ms);
    }
    flushAndSettle(*queue, 7);
    EXPECT_EQ(queue->depth(), 0u);
    EXPECT_EQ(batches().size(), 8u);
    for (auto& batch : batches()) EXPECT_EQ(batch, std::vector<std::string>{"kept"});

    // A success starts the count again.
    queue->add(event("next"));
    server.enqueue("/batch", ScriptedReply::json(500, "{}"));
    log.clear();
    flushAndSettle(*queue, 8);
    auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[Plover] Pausing queue consumption for 5.0 seconds due to 1.0 API failure(s)."),
              lines.end());
}

TEST_F(QueueFixture, ABatchTheServerKeepsRefusingIsDroppedSoTheEventsBehindItArriveWithinTwoMinutes) {
    config->flushAt = 100000;
    config->maxBatchSize = 2;
    auto queue = makeQueue();
    queue->start(true, true);
    for (const char* name : {"poison 1", "poison 2", "good 1", "good 2", "good 3"}) queue->add(event(name));
    // The service refuses the first batch for ever and takes every other one.
    server.setResponder("/batch", [](const support::RecordedRequest& request) {
        if (support::gunzip(request.body).find("poison") == std::string::npos) return ScriptedReply::json(200, "{}");
        return ScriptedReply::json(500, "{}");
    });
    LogCapture log;
    // A second of the queue's time at a time; the queue is offered a flush each second, as its
    // timer and new events would.
    int seconds = 0;
    for (; seconds <= 300 && queue->depth() > 0; ++seconds) {
        if (queue->canFlush()) flushAndSettle(*queue, server.requests().size());
        ASSERT_TRUE(support::eventually([&] { return settled(*queue); }));
        if (queue->depth() == 0) break;
        advance(1s);
    }
    EXPECT_LE(seconds, 120);
    EXPECT_EQ(queue->depth(), 0u);
    auto sent = batches();
    ASSERT_GE(sent.size(), 9u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(sent[i], (std::vector<std::string>{"poison 1", "poison 2"})) << i;
    EXPECT_EQ(sent[7], (std::vector<std::string>{"good 1", "good 2"}));
    EXPECT_EQ(sent[8], (std::vector<std::string>{"good 3"}));
    auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[Plover] Dropping a batch of 2 events that the server refused 7 times in a row (last status "
                        "500)."),
              lines.end());
}

TEST_F(QueueFixture, AnswersThatWillNotChangeEndTheBatchOthersKeepIt) {
    struct Case {
        ScriptedReply reply;
        bool kept;
    };
    const Case cases[] = {
        {ScriptedReply::json(200, "{}"), false},
        {ScriptedReply::json(400, "{}"), false},
        {ScriptedReply::json(413, "{}"), false},
        {ScriptedReply::json(500, "{}"), true},
        {ScriptedReply::json(408, "{}"), true},
        {ScriptedReply::json(429, "{}"), true},
        {ScriptedReply{301, "", {{"Location", "/"}}, {}, false}, true},
    };
    config->flushAt = 100000;
    auto queue = makeQueue();
    queue->start(true, true);
    for (auto& c : cases) {
        SCOPED_TRACE(c.reply.status);
        queue->add(event("e"));
        server.enqueue("/batch", c.reply);
        flushAndSettle(*queue, server.requests().size());
        EXPECT_EQ(queue->depth(), c.kept ? 1u : 0u);
        advance(60s);
        if (c.kept) {
            server.enqueue("/batch", ScriptedReply::json(200, "{}"));
            flushAndSettle(*queue, server.requests().size());
            EXPECT_EQ(queue->depth(), 0u);
        }
    }
}

TEST_F(QueueFixture, ABatchThatCanNeverBeSentIsDroppedWithALogLine) {
    config = analytics_test::makeConfig("test-key", "mailto:nobody@example.com");
    config->flushAt = 100000;
    auto queue = makeQueue();
    queue->start(true, true);
    queue->add(event("e"));
    LogCapture log;
    queue->flush();
    ASSERT_TRUE(support::eventually([&] { return queue->depth() == 0 && settled(*queue); }));
    auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[Plover] Dropping a batch of 1 events that cannot be sent."),
              lines.end());
    EXPECT_TRUE(queue->canFlush()) << "no back-off";

    // No answer at all keeps the batch.
    boost::asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    auto port = acceptor.local_endpoint().port();
    acceptor.close();
    config = analytics_test::makeConfig("test-key", "http://127.0.0.1:" + std::to_string(port));
    config->flushAt = 100000;
    auto refused = makeQueue(nullptr, plover::PloverApiEndpoint::batch, "refused");
    refused->add(event("e"));
    log.clear();
    refused->flush();
    ASSERT_TRUE(support::eventually([&] { return !log.lines().empty() && settled(*refused); }));
    EXPECT_EQ(refused->depth(), 1u);
    EXPECT_FALSE(refused->canFlush());
}

TEST_F(QueueFixture, TwoRacingTriggersGiveOneUpload) {
    config->flushAt = 100000;
    auto queue = makeQueue();
    queue->start(true, true);
    for (int i = 0; i < 3; ++i) queue->add(event("e"));
    server.enqueue("/batch", ScriptedReply::json(200, "{}").after(300ms));
    queue->flush();
    queue->flush();
    ASSERT_TRUE(support::eventually([&] { return queue->depth() == 0 && settled(*queue); }));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(QueueFixture, TheTimerFlushesUntilTheQueueIsClosed) {
    config->flushAt = 100000;
    config->flushIntervalSeconds = 0.01;
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    auto queue = makeQueue();
    queue->start(true, false);
    queue->add(event("by timer"));
    ASSERT_TRUE(support::runUntil(main, [&] { return queue->depth() == 0 && settled(*queue); }));
    EXPECT_EQ(batches(), std::vector<std::vector<std::string>>{{"by timer"}});

    queue->close();
    main.restart();
    main.poll();
    EXPECT_TRUE(main.stopped()) << "a timer is still scheduled";

    // Closed before the timer was made: none is ever made.
    auto early = makeQueue(nullptr, plover::PloverApiEndpoint::batch, "other");
    early->start(true, false);
    early->close();
    main.restart();
    main.poll();
    EXPECT_TRUE(main.stopped()) << "a timer was made after close";
}

TEST_F(QueueFixture, AClosedQueueTakesNoBatchAndLeavesItsEventsForTheNextStart) {
    config->flushAt = 1;
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    auto queue = makeQueue();
    queue->start(true, true);
    // The background thread is held, so the take the add starts is still waiting when the queue
    // closes, as at an exit right after a capture.
    std::promise<void> release;
    asio::post(background, [held = release.get_future().share()] { held.wait(); });
    EXPECT_TRUE(queue->add(event("before close")));
    EXPECT_TRUE(queue->isFlushing());
    queue->close();
    release.set_value();
    ASSERT_TRUE(support::eventually([&] { return settled(*queue); }));
    EXPECT_FALSE(queue->canFlush());
    EXPECT_TRUE(queue->add(event("after close")));
    queue->flush();
    EXPECT_FALSE(queue->isFlushing());
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(queue->depth(), 2u);

    auto next = makeQueue();
    next->start(true, true);
    flushAndSettle(*next, 0);
    EXPECT_EQ(batches(), (std::vector<std::vector<std::string>>{{"before close", "after close"}}));
}

TEST_F(QueueFixture, ReachabilityPausesAndResumesEveryQueueThatSharesIt) {
    auto starts = std::make_shared<std::atomic<int>>(0);
    auto source = std::make_unique<FakeFlagSource>(starts);
    auto* flags = source.get();
    auto reachability = Reachability::create(std::move(source), std::nullopt);
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    server.setReply("/s/", ScriptedReply::json(200, "{}"));
    config->flushAt = 100000;
    auto events = makeQueue(reachability);
    auto replay = makeQueue(reachability, plover::PloverApiEndpoint::snapshot, "plover.replayFolder");
    events->start(false, true);
    replay->start(false, true);
    EXPECT_EQ(*starts, 1);
    // The flushes that starting may begin are over before the network changes: a trigger that
    // comes while one runs is skipped ("Already flushing") and left to the timer.
    ASSERT_TRUE(support::eventually([&] { return settled(*events) && settled(*replay); }));

    flags->set(0);
    EXPECT_TRUE(events->isPaused());
    EXPECT_TRUE(replay->isPaused());
    ASSERT_TRUE(support::eventually([&] { return settled(*events) && settled(*replay); }));
    LogCapture log;
    EXPECT_FALSE(events->canFlush());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Plover] The queue is paused due to the reachability check"});

    events->add(event("event"));
    replay->add(event("frame"));
    ASSERT_TRUE(support::eventually([&] { return settled(*events) && settled(*replay); }));
    flags->set(Reachability::reachable | Reachability::isDirect);
    EXPECT_FALSE(events->isPaused());
    EXPECT_FALSE(replay->isPaused());
    // Becoming reachable flushes both.
    ASSERT_TRUE(support::eventually([&] { return events->depth() == 0 && replay->depth() == 0 && settled(*events) && settled(*replay); }));
    auto paths = server.requests();
    std::set<std::string> sent;
    for (auto& request : paths) sent.insert(request.path);
    EXPECT_EQ(sent, (std::set<std::string>{"/batch", "/s/"}));

    // The Wi-Fi-only mode holds back on a connection that needs to be made first.
    config->dataMode = plover::PloverConfig::PloverDataMode::wifi;
    flags->set(Reachability::reachable | Reachability::connectionRequired);
    EXPECT_TRUE(events->isPaused());
    events->close();
    flags->set(Reachability::reachable);
    EXPECT_TRUE(events->isPaused()) << "a closed queue gets no more changes";
    EXPECT_FALSE(replay->isPaused());
}

TEST_F(QueueFixture, EventsSurviveARestartAndManyRapidAddsLoseNothing) {
    config->flushAt = 100000;
    {
        auto first = makeQueue();
        first->start(true, true);
        for (int i = 0; i < 5; ++i) first->add(event("before restart"));
    }
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    config->flushAt = 20;
    config->maxQueueSize = 100000;
    auto queue = makeQueue();
    queue->start(true, true);
    EXPECT_EQ(queue->depth(), 5u);

    constexpr int threads = 4;
    constexpr int perThread = 2500;
    std::vector<std::thread> adders;
    for (int t = 0; t < threads; ++t) {
        adders.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) queue->add(event("rapid"));
        });
    }
    for (auto& adder : adders) adder.join();
    ASSERT_TRUE(support::eventually(
        [&] {
            if (settled(*queue) && queue->depth() > 0) queue->flush();
            return queue->depth() == 0 && settled(*queue);
        },
        60s));
    std::set<std::string> ids;
    std::size_t received = 0;
    for (auto& request : server.decodedRequests()) {
        auto body = json::parse(request.body);
        ASSERT_TRUE(body.is_object()) << request.path << " " << request.body.substr(0, 200);
        for (auto& e : body.at("batch").as_array()) {
            ids.insert(std::string(e.at("uuid").as_string()));
            ++received;
        }
    }
    EXPECT_EQ(received, static_cast<std::size_t>(threads * perThread + 5));
    EXPECT_EQ(ids.size(), received);
}

}  // namespace
