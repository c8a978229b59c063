#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/http/http_client.hpp"
#include "support/fake_backend.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using platform::HttpClient;
using platform::HttpError;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpResult;
using support::ScriptedReply;

// Collects completions and tells how many each request received.
struct Outcome {
    std::atomic<int> calls{0};
    std::promise<HttpResult> promise;
    std::future<HttpResult> future = promise.get_future();

    HttpClient::Completion completion() {
        return [this](HttpResult result) {
            if (calls++ == 0) promise.set_value(std::move(result));
        };
    }
    HttpResult wait() {
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        return future.get();
    }
};

HttpRequest get(const std::string& url) {
    HttpRequest request;
    request.url = url;
    request.timeout = 5s;
    return request;
}

std::optional<HttpError::Kind> errorKind(const HttpResult& result) {
    if (auto* error = std::get_if<HttpError>(&result)) return error->kind();
    return std::nullopt;
}

std::uint16_t closedPort() {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();  // closed again when the acceptor goes
}

TEST(HttpClient, SendsRequestsAsGivenAndCompletesEachOnceWithItsReply) {
    support::FakeBackend backend;
    backend.setReply("/ok", ScriptedReply::json(200, R"({"a":1})"));
    backend.setReply("/broken", ScriptedReply::text(500, "boom"));
    backend.setReply("/moved", ScriptedReply{302, "", {{"Location", "/ok"}}, {}, false});
    HttpClient client;

    HttpRequest post = get(backend.baseUrl() + "ok");
    post.method = "POST";
    post.headers = {{"Authorization", "Bearer abc"}, {"Content-Type", "application/json"}};
    post.body = std::string(4000, 'x');  // large enough for libcurl to want an Expect header
    HttpRequest put = get(backend.baseUrl() + "broken");
    put.method = "PUT";
    put.body = "plain";
    const std::tuple<HttpRequest, int, std::string, std::optional<std::string>> cases[] = {
        {post, 200, R"({"a":1})", "application/json"},
        {put, 500, "boom", "text/plain"},
        {get(backend.baseUrl() + "moved"), 302, "", std::nullopt}};
    std::array<Outcome, 3> outcomes;  // in flight together
    for (std::size_t i = 0; i < outcomes.size(); ++i) client.start(std::get<0>(cases[i]), outcomes[i].completion());
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const auto& [request, status, body, type] = cases[i];
        auto result = outcomes[i].wait();
        ASSERT_TRUE(std::holds_alternative<HttpResponse>(result)) << request.url;
        EXPECT_EQ(std::get<HttpResponse>(result).status, status);
        EXPECT_EQ(std::get<HttpResponse>(result).body, body);
        EXPECT_EQ(std::get<HttpResponse>(result).header("content-type"), type);
    }

    auto posted = backend.requestsTo("/ok");
    ASSERT_EQ(posted.size(), 1u);  // the redirect was not followed
    EXPECT_EQ(posted[0].method, "POST");
    EXPECT_EQ(posted[0].body, std::string(4000, 'x'));
    EXPECT_EQ(posted[0].header("Authorization"), "Bearer abc");
    EXPECT_EQ(posted[0].header("Content-Type"), "application/json");
    EXPECT_EQ(posted[0].headerCount("Content-Type"), 1u);
    EXPECT_EQ(posted[0].header("Expect"), std::nullopt);
    auto putted = backend.requestsTo("/broken").at(0);
    EXPECT_EQ(putted.method, "PUT");
    EXPECT_EQ(putted.body, "plain");
    EXPECT_EQ(putted.header("Content-Type"), std::nullopt);
    EXPECT_EQ(backend.requestsTo("/moved").at(0).method, "GET");
    EXPECT_EQ(backend.requestsTo("/moved").at(0).header("Content-Type"), std::nullopt);

    std::this_thread::sleep_for(50ms);  // room for a wrongful second completion
    for (auto& outcome : outcomes) EXPECT_EQ(outcome.calls, 1);
}

TEST(HttpClient, FailuresCompleteOnceWithTheirKind) {
    support::FakeBackend backend;
    backend.setReply("/slow", ScriptedReply::text(200, "late").after(3s));
    backend.setReply("/drop", ScriptedReply::dropped());
    HttpClient client;

    Outcome refused, timedOut, dropped, badHeader, badUrl;
    client.start(get("http://127.0.0.1:" + std::to_string(closedPort()) + "/"), refused.completion());
    HttpRequest slow = get(backend.baseUrl() + "slow");
    slow.timeout = 150ms;
    client.start(slow, timedOut.completion());
    client.start(get(backend.baseUrl() + "drop"), dropped.completion());
    HttpRequest injected = get(backend.baseUrl() + "ok");
    injected.headers = {{"Authorization", "Bearer a\r\nX-Injected: 1"}};
    client.start(injected, badHeader.completion());
    client.start(get("ftp://127.0.0.1/file"), badUrl.completion());

    EXPECT_EQ(errorKind(refused.wait()), HttpError::Kind::cannotConnect);
    EXPECT_EQ(errorKind(timedOut.wait()), HttpError::Kind::timedOut);
    EXPECT_EQ(errorKind(dropped.wait()), HttpError::Kind::connectionLost);
    EXPECT_EQ(errorKind(badHeader.wait()), HttpError::Kind::invalidRequest);
    EXPECT_EQ(errorKind(badUrl.wait()), HttpError::Kind::invalidRequest);
    EXPECT_EQ(backend.requestsTo("/ok").size(), 0u);

    std::this_thread::sleep_for(50ms);
    for (auto* outcome : {&refused, &timedOut, &dropped, &badHeader, &badUrl}) EXPECT_EQ(outcome->calls, 1);
}

// A reply body is read up to the request's bound and no further: one byte more fails the request.
// A request that sets no bound of its own has the default one.
TEST(HttpClient, ABodyPastTheRequestsBoundFailsAsTooLarge) {
    support::FakeBackend backend;
    const std::size_t bound = 256 * 1024;
    backend.setReply("/fits", ScriptedReply::text(200, std::string(bound, 'a')));
    backend.setReply("/over", ScriptedReply::text(200, std::string(bound + 1, 'b')));
    backend.setReply("/huge", ScriptedReply::text(200, std::string(platform::maxReplyBodySize + 1, 'c')));
    HttpClient client;

    Outcome defaulted;
    client.start(get(backend.baseUrl() + "huge"), defaulted.completion());
    EXPECT_EQ(errorKind(defaulted.wait()), HttpError::Kind::replyTooLarge);

    Outcome fits, over, unbounded;
    HttpRequest request = get(backend.baseUrl() + "fits");
    request.maxBodySize = bound;
    client.start(request, fits.completion());
    request.url = backend.baseUrl() + "over";
    client.start(request, over.completion());
    request.maxBodySize.reset();
    client.start(request, unbounded.completion());

    auto fitting = fits.wait();
    ASSERT_TRUE(std::holds_alternative<HttpResponse>(fitting));
    EXPECT_EQ(std::get<HttpResponse>(fitting).body.size(), bound);
    EXPECT_EQ(errorKind(over.wait()), HttpError::Kind::replyTooLarge);
    auto whole = unbounded.wait();
    ASSERT_TRUE(std::holds_alternative<HttpResponse>(whole));
    EXPECT_EQ(std::get<HttpResponse>(whole).body.size(), bound + 1);
}

TEST(HttpClient, CancelledAndShutDownRequestsCompleteOnce) {
    support::FakeBackend backend;
    backend.setReply("/slow", ScriptedReply::text(200, "late").after(5s));
    Outcome cancelled;
    std::vector<std::unique_ptr<Outcome>> inFlight;
    {
        HttpClient client;
        auto id = client.start(get(backend.baseUrl() + "slow"), cancelled.completion());
        for (int i = 0; i < 3; ++i) {
            inFlight.push_back(std::make_unique<Outcome>());
            client.start(get(backend.baseUrl() + "slow"), inFlight.back()->completion());
        }
        ASSERT_TRUE(backend.waitForRequests(4));
        client.cancel(id);
        EXPECT_EQ(errorKind(cancelled.wait()), HttpError::Kind::cancelled);
        client.cancel(id);  // a second cancel of a finished request does nothing
    }
    // The client is gone: everything it still had has been completed.
    for (auto& outcome : inFlight) {
        ASSERT_EQ(outcome->future.wait_for(0s), std::future_status::ready);
        EXPECT_EQ(errorKind(outcome->future.get()), HttpError::Kind::shutDown);
        EXPECT_EQ(outcome->calls, 1);
    }
    EXPECT_EQ(cancelled.calls, 1);
}

TEST(HttpClient, AClientWhoseLastOwnerIsACompletionStopsOnItsOwn) {
    support::FakeBackend backend;
    backend.setReply("/first", ScriptedReply::text(200, "one"));
    backend.setReply("/slow", ScriptedReply::text(200, "late").after(5s));
    Outcome first;
    Outcome left;
    auto client = std::make_shared<HttpClient>();
    client->start(get(backend.baseUrl() + "slow"), left.completion());
    ASSERT_TRUE(backend.waitForRequests(1));
    auto weak = std::weak_ptr<HttpClient>(client);
    // The completion holds the client; once the test lets go, the client ends on its worker.
    client->start(get(backend.baseUrl() + "first"),
                  [owner = client, completion = first.completion()](HttpResult result) { completion(std::move(result)); });
    client.reset();
    EXPECT_TRUE(std::holds_alternative<HttpResponse>(first.wait()));
    EXPECT_EQ(errorKind(left.wait()), HttpError::Kind::shutDown);
    EXPECT_TRUE(support::eventually([&] { return weak.expired(); }));
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(left.calls, 1);
}

TEST(HttpClient, AwaitableResumesOnTheCallersExecutorAndCancelsWithTheCoroutine) {
    support::FakeBackend backend;
    backend.setReply("/ok", ScriptedReply::text(200, "fine"));
    backend.setReply("/slow", ScriptedReply::text(200, "late").after(5s));
    asio::io_context io;
    HttpClient client;

    std::optional<std::string> body;
    std::thread::id resumedOn;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        auto response = co_await client.perform(get(backend.baseUrl() + "ok"));
        resumedOn = std::this_thread::get_id();
        body = response.body;
    }, asio::detached);

    std::optional<HttpError::Kind> cancelledKind;
    asio::cancellation_signal signal;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        try {
            co_await client.perform(get(backend.baseUrl() + "slow"));
        } catch (const HttpError& error) {
            cancelledKind = error.kind();
        }
    }, asio::bind_cancellation_slot(signal.slot(), asio::detached));
    asio::steady_timer timer(io, 100ms);
    timer.async_wait([&](auto) { signal.emit(asio::cancellation_type::terminal); });

    io.run();  // returns once both coroutines are done
    EXPECT_EQ(body, "fine");
    EXPECT_EQ(resumedOn, std::this_thread::get_id());
    EXPECT_EQ(cancelledKind, HttpError::Kind::cancelled);
}


namespace idle {

std::set<std::string> threadIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

// A thread's state letter and its context switches so far, from /proc.
struct ThreadStatus {
    char state = '?';
    long switches = -1;
};

ThreadStatus threadStatus(const std::string& id) {
    std::ifstream file("/proc/self/task/" + id + "/status");
    ThreadStatus status;
    long total = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("State:")) status.state = line.substr(line.find_first_not_of(" \t", 6))[0];
        if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:")) {
            total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    status.switches = total;
    return status;
}

}  // namespace idle

TEST(HttpClient, AnIdleWorkerSleepsUntilARequestComes) {
    support::FakeBackend backend;
    backend.setReply("/ping", ScriptedReply::text(200, "pong"));
    const auto before = idle::threadIds();
    HttpClient client;
    std::string worker;
    for (const auto& id : idle::threadIds()) {
        if (!before.contains(id)) worker = id;
    }
    ASSERT_FALSE(worker.empty());

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Idle (fresh, then after a transfer): the worker does not wake by itself.
        ASSERT_TRUE(support::eventually([&] { return idle::threadStatus(worker).state == 'S'; }));
        std::this_thread::sleep_for(100ms);
        const auto asleep = idle::threadStatus(worker).switches;
        std::this_thread::sleep_for(2500ms);
        EXPECT_EQ(idle::threadStatus(worker).switches, asleep) << "the idle worker woke up";

        Outcome outcome;
        client.start(get(backend.baseUrl() + "ping"), outcome.completion());
        auto result = outcome.wait();
        ASSERT_TRUE(std::holds_alternative<HttpResponse>(result));
        EXPECT_EQ(std::get<HttpResponse>(result).body, "pong");
    }
}

}  // namespace
