#include "webrtc_fixture.hpp"

#include <glib.h>

#include <atomic>

#include "support/realtime_events.hpp"

namespace webrtc_test {

std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(tasks);
    }
    return count;
}

void dropIdleThreads() { g_thread_pool_stop_unused_threads(); }

namespace {

std::mutex watchMutex;
std::vector<std::string> watched;
std::atomic<bool> watching{false};

void watchLog(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    if (watching && (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_ERROR))) {
        std::lock_guard lock(watchMutex);
        watched.push_back(std::string(domain ? domain : "") + ": " + (message ? message : ""));
    }
    g_log_default_handler(domain, level, message, nullptr);
}

}  // namespace

WarningWatch::WarningWatch() {
    {
        std::lock_guard lock(watchMutex);
        watched.clear();
    }
    g_log_set_default_handler(watchLog, nullptr);
    watching = true;
}

WarningWatch::~WarningWatch() { watching = false; }

std::vector<std::string> WarningWatch::lines() const {
    std::lock_guard lock(watchMutex);
    return watched;
}

std::string speechStarted(const std::string& id) {
    auto event = support::serverEvent("input_audio_buffer.speech_started", {{"audio_start_ms", 5}, {"item_id", "item"}});
    event["event_id"] = id;
    return event.dump();
}

void WebRTCTest::TearDown() { EXPECT_EQ(warnings.lines(), std::vector<std::string>{}); }

platform::HttpRequest WebRTCTest::offerRequestTo(const std::string& url) const {
    platform::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Authorization", "Bearer test"}, {"Content-Type", "application/sdp"}};
    request.timeout = 30s;
    return request;
}

platform::HttpRequest WebRTCTest::offerRequest() const {
    return offerRequestTo("http://127.0.0.1:" + std::to_string(server.port()) + offerPath + "?model=m");
}

realtime::WebRTCOptions WebRTCTest::loopbackOptions() {
    return realtime::WebRTCOptions{{"127.0.0.1"}, "audiotestsrc is-live=true wave=silence", "fakesink"};
}

void WebRTCTest::answerThrough(AnsweringPeer& peer, int status) {
    server.setResponder(offerPath, [&peer, status](const support::RecordedRequest& request) {
        return support::ScriptedReply{status, peer.answer(request.body), {{"Content-Type", "application/sdp"}}, {}, false};
    });
}

std::shared_ptr<realtime::Connector> WebRTCTest::connect() {
    return rt.run([this] { return realtime::WebRTCConnector::connect(http, offerRequest(), loopbackOptions()); }, 5s);
}

bool WebRTCTest::printed(const std::string& line) const {
    std::lock_guard lock(linesMutex);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool WebRTCTest::waitForLine(const std::string& line, std::chrono::milliseconds limit) const {
    return support::eventually([&] { return printed(line); }, limit);
}

}  // namespace webrtc_test
