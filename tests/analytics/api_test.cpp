#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <future>
#include <thread>

#include <zlib.h>

#include "analytics/network/gzip.hpp"
#include "analytics/network/plover_api.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/internal_plover_error.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"
#include "analytics_fixtures.hpp"
#include "support/ingestion_server.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using analytics_test::makeConfig;
using plover::PloverApi;
using plover::PloverBatchUploadInfo;
using plover::PloverEvent;
using plover::Properties;
using support::RecordedRequest;
using support::ScriptedReply;
namespace json = boost::json;

std::uint16_t closedPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

PloverEvent event(const std::string& name, Properties properties = {}) {
    return PloverEvent(name, "person", std::move(properties), std::chrono::system_clock::now(),
                       plover::TimeBasedEpochGenerator::v7());
}

template <class T>
T await(std::future<T>& future) {
    if (future.wait_for(20s) != std::future_status::ready) throw std::runtime_error("no completion");
    return future.get();
}

struct Upload {
    PloverBatchUploadInfo info;
    std::thread::id thread;
};

struct Reply {
    std::optional<json::object> body;
    std::exception_ptr error;
};

std::string errorText(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return caught.what();
    }
    return "";
}

struct ApiFixture : ::testing::Test {
    support::IngestionServer server;
    std::shared_ptr<platform::HttpClient> http = std::make_shared<platform::HttpClient>();

    std::shared_ptr<plover::PloverConfig> configFor(std::string host, std::string key = "test-key") {
        return makeConfig(std::move(key), host);
    }

    Upload upload(const PloverApi& api, bool snapshot, std::vector<PloverEvent> events) {
        std::promise<Upload> promise;
        auto future = promise.get_future();
        auto completion = [&promise](PloverBatchUploadInfo info) {
            promise.set_value(Upload{std::move(info), std::this_thread::get_id()});
        };
        if (snapshot) {
            api.snapshot(std::move(events), completion);
        } else {
            api.batch(std::move(events), completion);
        }
        return await(future);
    }

    Reply flags(const PloverApi& api, std::optional<std::string> anonymousId = "anon", PloverApi::Groups groups = {},
                Properties person = {}, std::optional<PloverApi::GroupProperties> groupProperties = std::nullopt) {
        std::promise<Reply> promise;
        auto future = promise.get_future();
        api.flags("person", anonymousId, groups, person, groupProperties,
                  [&promise](std::optional<json::object> body, std::exception_ptr error) {
                      promise.set_value(Reply{std::move(body), error});
                  });
        return await(future);
    }

    Reply remoteConfig(const PloverApi& api) {
        std::promise<Reply> promise;
        auto future = promise.get_future();
        api.remoteConfig([&promise](std::optional<json::object> body, std::exception_ptr error) {
            promise.set_value(Reply{std::move(body), error});
        });
        return await(future);
    }

    RecordedRequest lastRequest() {
        auto requests = server.decodedRequests();
        if (requests.empty()) throw std::runtime_error("no request arrived");
        return requests.back();
    }
};

void expectSessionHeaders(const RecordedRequest& request, const std::string& userAgent) {
    EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(request.headerCount("Content-Type"), 1u);
    EXPECT_EQ(request.header("User-Agent"), userAgent);
    EXPECT_EQ(request.headerCount("User-Agent"), 1u);
}

void expectGzipHeaders(const RecordedRequest& request, bool present) {
    EXPECT_EQ(request.header("Accept-Encoding"), present ? std::optional<std::string>("gzip") : std::nullopt);
    EXPECT_EQ(request.header("Content-Encoding"), present ? std::optional<std::string>("gzip") : std::nullopt);
    if (present) {
        EXPECT_EQ(request.headerCount("Accept-Encoding"), 1u);
        EXPECT_EQ(request.headerCount("Content-Encoding"), 1u);
    }
}

TEST_F(ApiFixture, BatchAndSnapshotUploadsAreGzippedJsonWithTheirHeaders) {
    server.setReply("/batch", ScriptedReply::json(200, "{}"));
    server.setReply("/s/", ScriptedReply::json(200, "{}"));
    auto config = configFor(server.host());
    PloverApi api(config, http);
    std::vector<PloverEvent> events{event("first", {{"n", 1}}), event("second", {{"nested", json::parse(R"({"a":[true]})")}})};
    plover::setPloverSdkName("plover-wrapper");
    plover::setPloverVersion("1.2.3");

    auto before = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    auto sent = upload(api, false, events);
    auto after = std::chrono::system_clock::now();
    EXPECT_EQ(sent.info.statusCode, 200);
    EXPECT_FALSE(sent.info.error);
    EXPECT_FALSE(sent.info.permanentFailure);
    EXPECT_NE(sent.thread, std::this_thread::get_id());

    auto batch = lastRequest();
    EXPECT_EQ(batch.method, "POST");
    EXPECT_EQ(batch.path, "/batch");
    expectSessionHeaders(batch, "plover-wrapper/1.2.3");
    expectGzipHeaders(batch, true);
    auto body = json::parse(batch.body).as_object();
    EXPECT_EQ(body.size(), 3u);
    EXPECT_EQ(body.at("api_key"), "test-key");
    EXPECT_EQ(body.at("batch"), json::value(json::array{events[0].toJSON(), events[1].toJSON()}));
    auto sentAt = plover::toISO8601Date(body.at("sent_at").as_string());
    ASSERT_TRUE(sentAt);
    EXPECT_GE(*sentAt, before);
    EXPECT_LE(*sentAt, after);

    plover::setPloverSdkName(std::string(plover::ploveriOSSdkName));
    plover::setPloverVersion("3.30.0");
    EXPECT_EQ(upload(api, true, events).info.statusCode, 200);
    auto snapshot = lastRequest();
    EXPECT_EQ(snapshot.method, "POST");
    EXPECT_EQ(snapshot.path, "/s/");
    expectSessionHeaders(snapshot, "plover-ios/3.30.0");
    expectGzipHeaders(snapshot, true);
    json::array expected;
    for (auto& e : events) {
        auto withKey = e;
        withKey.setApiKey("test-key");
        expected.push_back(withKey.toJSON());
    }
    EXPECT_EQ(json::parse(snapshot.body), json::value(expected));
}

TEST_F(ApiFixture, FlagsRequestCarriesOnlyTheGivenParts) {
    server.setReply("/flags", ScriptedReply::json(200, R"({"featureFlags":{"a":true}})"));
    PloverApi api(configFor(server.host()), http);

    auto reply = flags(api, "anon", {{"company", "acme"}}, {{"email", "a@b"}},
                       PloverApi::GroupProperties{{"company", {{"size", 10}}}});
    EXPECT_EQ(reply.body, json::parse(R"({"featureFlags":{"a":true}})").as_object());
    EXPECT_FALSE(reply.error);
    auto request = lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/flags?v=2&config=true");
    expectSessionHeaders(request, "plover-ios/3.30.0");
    expectGzipHeaders(request, false);
    EXPECT_EQ(json::parse(request.body), json::parse(R"({"api_key":"test-key","distinct_id":"person",
        "$groups":{"company":"acme"},"$anon_distinct_id":"anon","person_properties":{"email":"a@b"},
        "group_properties":{"company":{"size":10}}})"));

    flags(api, "", {}, {}, PloverApi::GroupProperties{});
    EXPECT_EQ(json::parse(lastRequest().body),
              json::parse(R"({"api_key":"test-key","distinct_id":"person","$groups":{},"$anon_distinct_id":""})"));
    flags(api, std::nullopt);
    EXPECT_EQ(json::parse(lastRequest().body), json::parse(R"({"api_key":"test-key","distinct_id":"person","$groups":{}})"));
}

TEST_F(ApiFixture, RemoteConfigIsAGetFromTheAssetsHostOfTheCloudOrFromTheHostItself) {
    server.setReply("/array/test-key/config", ScriptedReply::json(200, R"({"sessionRecording":false})"));
    PloverApi api(configFor(server.host()), http);
    auto reply = remoteConfig(api);
    EXPECT_EQ(reply.body, json::parse(R"({"sessionRecording":false})").as_object());
    auto request = lastRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/array/test-key/config");
    expectSessionHeaders(request, "plover-ios/3.30.0");
    expectGzipHeaders(request, false);
    EXPECT_TRUE(request.body.empty());

    const std::pair<std::string, std::string> hosts[] = {
        {std::string(plover::usIngestionHost), std::string(plover::usAssetsHost) + "/array/k%2Fx/config"},
        {std::string(plover::euIngestionHost), std::string(plover::euAssetsHost) + "/array/k%2Fx/config"},
        // A cloud host written differently is not mapped.
        {std::string(plover::usIngestionHost) + "/", std::string(plover::usIngestionHost) + "/array/k%2Fx/config"},
        {"http://self.example:8000/base//", "http://self.example:8000/base/array/k%2Fx/config"},
        {"http://self.example/base?token=1", "http://self.example/base/array/k%2Fx/config?token=1"},
    };
    for (auto& [host, url] : hosts) {
        auto request = PloverApi(configFor(host, "k/x"), http).remoteConfigRequest();
        ASSERT_TRUE(request) << host;
        EXPECT_EQ(request->url, url);
        EXPECT_EQ(request->method, "GET");
        EXPECT_EQ(request->timeout, 10s);
        EXPECT_FALSE(request->body);
    }
}

TEST_F(ApiFixture, EndpointPathsJoinTheHostPathWithSingleSlashesAndDropItsQuery) {
    struct Case {
        std::string hostSuffix;
        std::string snapshotEndpoint;
        std::string batch;
        std::string snapshot;
        std::string flags;
    };
    const Case cases[] = {
        {"", "/s/", "/batch", "/s/", "/flags?v=2&config=true"},
        {"/", "s", "/batch", "/s", "/flags?v=2&config=true"},
        {"/base", "/s", "/base/batch", "/base/s", "/base/flags?v=2&config=true"},
        {"/base/", "//s//", "/base/batch", "/base/s/", "/base/flags?v=2&config=true"},
        {"//base//deeper//", "/s/", "/base/deeper/batch", "/base/deeper/s/", "/base/deeper/flags?v=2&config=true"},
        {"/base?key=1&v=9", "/s/", "/base/batch", "/base/s/", "/base/flags?v=2&config=true"},
        {"/with%20space", "/replay path", "/with%20space/batch", "/with%20space/replay%20path",
         "/with%20space/flags?v=2&config=true"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.hostSuffix + " " + c.snapshotEndpoint);
        auto config = configFor(server.host() + c.hostSuffix);
        config->setSnapshotEndpoint(c.snapshotEndpoint);
        PloverApi api(config, http);
        upload(api, false, {event("e")});
        EXPECT_EQ(lastRequest().path, c.batch);
        upload(api, true, {event("e")});
        EXPECT_EQ(lastRequest().path, c.snapshot);
        flags(api);
        EXPECT_EQ(lastRequest().path, c.flags);
    }
}

TEST_F(ApiFixture, UploadsHandEveryStatusAndTransportErrorToTheCaller) {
    struct Case {
        ScriptedReply reply;
        std::string log;
    };
    const Case cases[] = {
        {ScriptedReply::json(200, "{}"), "[Plover] Events sent successfully."},
        {ScriptedReply::json(400, R"({"error":"bad"})"),
         R"([Plover] Error sending events to batch API: status: 400, body: {"error":"bad"}.)"},
        {ScriptedReply::text(500, "boom"), "[Plover] Error sending events to batch API: status: 500, body: nil."},
        {ScriptedReply{301, "", {{"Location", "/elsewhere"}}, {}, false},
         "[Plover] Error sending events to batch API: status: 301, body: nil."},
        {ScriptedReply::json(200, "[1]"), "[Plover] Events sent successfully."},
    };
    PloverApi api(configFor(server.host()), http);
    for (auto& c : cases) {
        SCOPED_TRACE(c.reply.status);
        server.enqueue("/batch", c.reply);
        LogCapture log;
        auto sent = upload(api, false, {event("e")});
        EXPECT_EQ(sent.info.statusCode, c.reply.status);
        EXPECT_FALSE(sent.info.error);
        EXPECT_FALSE(sent.info.permanentFailure);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.log});
    }
    EXPECT_EQ(server.requestsTo("/elsewhere").size(), 0u);

    LogCapture log;
    PloverApi refused(configFor("http://127.0.0.1:" + std::to_string(closedPort())), http);
    for (bool snapshot : {false, true}) {
        auto sent = upload(refused, snapshot, {event("e")});
        EXPECT_FALSE(sent.info.statusCode);
        EXPECT_FALSE(sent.info.permanentFailure);
        ASSERT_TRUE(sent.info.error);
        try {
            std::rethrow_exception(sent.info.error);
        } catch (const platform::HttpError& error) {
            EXPECT_EQ(error.kind(), platform::HttpError::Kind::cannotConnect);
        }
    }
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[Plover] Error calling the batch API: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("[Plover] Error calling the snapshot API: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].back(), '.');
}

TEST_F(ApiFixture, RequestsThatCanNeverSucceedFailPermanentlyAtOnce) {
    LogCapture log;
    struct Case {
        std::string host;
        std::vector<PloverEvent> events;
        std::string batchLog;
        std::string snapshotLog;
    };
    std::vector<Case> cases;
    cases.push_back({"mailto:someone@example.com", {event("e")}, "[Plover] Malformed batch URL error.",
                     "[Plover] Malformed snapshot URL error."});
    cases.push_back({"http:/no-authority", {event("e")}, "[Plover] Malformed batch URL error.",
                     "[Plover] Malformed snapshot URL error."});
    cases.push_back({server.host(), {event("ok"), event("bad", {{"ratio", std::nan("")}})},
                     "[Plover] Error parsing the batch body: the property \"ratio\" has no JSON form",
                     "[Plover] Error parsing the snapshot body: the property \"ratio\" has no JSON form"});
    cases.push_back({server.host(), {event("bad", {{"link", *plover::Url::parse("https://example.com")}})},
                     "[Plover] Error parsing the batch body: the property \"link\" has no JSON form",
                     "[Plover] Error parsing the snapshot body: the property \"link\" has no JSON form"});
    for (auto& c : cases) {
        SCOPED_TRACE(c.host);
        PloverApi api(configFor(c.host), http);
        for (bool snapshot : {false, true}) {
            log.clear();
            std::optional<PloverBatchUploadInfo> result;
            auto completion = [&](PloverBatchUploadInfo info) { result = std::move(info); };
            if (snapshot) {
                api.snapshot(c.events, completion);
            } else {
                api.batch(c.events, completion);
            }
            ASSERT_TRUE(result) << "completed before returning";
            EXPECT_TRUE(result->permanentFailure);
            EXPECT_FALSE(result->statusCode);
            EXPECT_TRUE(result->error);
            EXPECT_EQ(log.lines(), std::vector<std::string>{snapshot ? c.snapshotLog : c.batchLog});
        }
    }

    PloverApi malformed(configFor("mailto:someone@example.com"), http);
    log.clear();
    std::optional<Reply> reply;
    malformed.flags("p", std::nullopt, {}, {}, std::nullopt,
                    [&](std::optional<json::object> body, std::exception_ptr error) { reply = Reply{body, error}; });
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->body);
    EXPECT_TRUE(reply->error);
    reply.reset();
    malformed.remoteConfig([&](std::optional<json::object> body, std::exception_ptr error) { reply = Reply{body, error}; });
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->error);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[Plover] Malformed flags URL error.",
                                                     "[Plover] Malformed remote config URL error."}));

    PloverApi api(configFor(server.host()), http);
    log.clear();
    reply.reset();
    api.flags("p", std::nullopt, {}, {{"when", plover::Date{}}}, std::nullopt,
              [&](std::optional<json::object> body, std::exception_ptr error) { reply = Reply{body, error}; });
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->error);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[Plover] Error parsing the flags body: the property \"when\" has no JSON form"});
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(ApiFixture, FlagsAndRemoteConfigHandOnOnlyAnObjectFromASuccessfulReply) {
    struct Case {
        const char* name;
        ScriptedReply reply;
        bool body;
        bool error;
        std::vector<std::string> flagsLog;
    };
    const Case cases[] = {
        {"object", ScriptedReply::json(200, R"({"a":1})"), true, false, {"[Plover] Flags called successfully."}},
        {"scalar", ScriptedReply::json(200, "true"), false, false, {"[Plover] Flags called successfully."}},
        {"unparsable", ScriptedReply::json(200, "{nope"), false, true,
         {"[Plover] Flags called successfully.", "[Plover] Error parsing the flags response: "}},
        {"empty", ScriptedReply::json(204, ""), false, true,
         {"[Plover] Flags called successfully.", "[Plover] Error parsing the flags response: "}},
        {"server error", ScriptedReply::json(500, R"({"detail":"down"})"), false, true,
         {R"([Plover] Error calling flags API: status: 500, body: {"detail":"down"}.)"}},
        {"redirect", ScriptedReply{302, "", {{"Location", "/"}}, {}, false}, false, true,
         {"[Plover] Error calling flags API: status: 302, body: nil."}},
    };
    PloverApi api(configFor(server.host()), http);
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.enqueue("/flags", c.reply);
        LogCapture log;
        auto reply = flags(api);
        EXPECT_EQ(reply.body.has_value(), c.body);
        EXPECT_EQ(static_cast<bool>(reply.error), c.error);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), c.flagsLog.size());
        for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(c.flagsLog[i], 0), 0u) << lines[i];
    }

    server.enqueue("/flags", ScriptedReply::json(404, "{}"));
    auto notFound = flags(api);
    try {
        std::rethrow_exception(notFound.error);
    } catch (const plover::InternalPloverError& error) {
        std::string text = error.what();
        std::string start = "Error calling flags API: status: 404, body: {}. (Plover/plover_api.cpp:";
        EXPECT_EQ(text.rfind(start, 0), 0u) << text;
        EXPECT_EQ(text.back(), ')');
    }

    const std::pair<ScriptedReply, std::string> remoteCases[] = {
        {ScriptedReply::json(500, "oops"), "[Plover] Error calling the remote config API: status: 500, body: nil."},
        {ScriptedReply::json(200, "[1,2]"), "[Plover] Remote config called successfully."},
        {ScriptedReply::json(200, "]"), "[Plover] Error parsing the remote config response: "},
    };
    for (auto& [scripted, line] : remoteCases) {
        server.enqueue("/array/test-key/config", scripted);
        LogCapture log;
        auto reply = remoteConfig(api);
        EXPECT_FALSE(reply.body);
        EXPECT_EQ(static_cast<bool>(reply.error), scripted.status != 200 || scripted.body == "]");
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().back().rfind(line, 0), 0u) << log.lines().back();
    }

    LogCapture log;
    PloverApi refused(configFor("http://127.0.0.1:" + std::to_string(closedPort())), http);
    EXPECT_TRUE(flags(refused).error);
    EXPECT_TRUE(remoteConfig(refused).error);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[Plover] Error calling the flags API: ", 0), 0u);
    EXPECT_NE(lines[0].back(), '.');
    EXPECT_EQ(lines[1].rfind("[Plover] Error calling the remote config API: ", 0), 0u);
    EXPECT_EQ(errorText(flags(refused).error).empty(), false);
}

TEST_F(ApiFixture, ABodyThatFailsToCompressIsTriedAgainLikeALostConnectionNotDropped) {
    LogCapture log;
    PloverApi api(configFor(server.host()), http);
    bool fail = true;
    // zlib running out of memory once: the same events compress the next time.
    api.setCompressor([&](std::string_view body) -> std::string {
        if (fail) throw plover::GzipError(Z_MEM_ERROR, "insufficient memory");
        return plover::gzipped(body);
    });
    for (bool snapshot : {false, true}) {
        fail = true;
        auto failed = upload(api, snapshot, {event("e")});
        EXPECT_FALSE(failed.info.permanentFailure);
        EXPECT_FALSE(failed.info.statusCode);
        EXPECT_TRUE(failed.info.error);
        fail = false;
        auto sent = upload(api, snapshot, {event("e")});
        EXPECT_TRUE(sent.info.statusCode);  // the request reached the server
    }
    EXPECT_EQ(server.decodedRequests().size(), 2u);
}

}  // namespace
