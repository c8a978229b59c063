#include "webrtc_fixture.hpp"

#include <glib.h>
#include <gst/gst.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "realtime/transport/gstreamer_support.hpp"
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

std::string threadNames() {
    std::string names;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            names += (names.empty() ? "" : ", ") + name;
        }
        closedir(tasks);
    }
    return names;
}

namespace {

// The inodes of the sockets listed in a /proc/net table (the tenth column).
void readSocketTable(const char* path, std::set<std::string>& inodes) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int column = 0; column < 10 && fields >> field; ++column) {
        }
        if (fields) inodes.insert(field);
    }
}

}  // namespace

std::size_t udpSocketCount() {
    std::set<std::string> udp;
    readSocketTable("/proc/net/udp", udp);
    readSocketTable("/proc/net/udp6", udp);
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        // "socket:[12345]"
        if (error || target.rfind("socket:[", 0) != 0) continue;
        if (udp.count(target.substr(8, target.size() - 9))) ++count;
    }
    return count;
}

void dropIdleThreads() { g_thread_pool_stop_unused_threads(); }

std::size_t threadsInUse() {
    dropIdleThreads();
    std::size_t count = threadCount();
    // Idle threads leave a moment after they are told to.
    support::eventually([&] {
        dropIdleThreads();
        auto now = threadCount();
        bool settled = now == count;
        count = now;
        return settled;
    }, 200ms);
    return count;
}

namespace {

std::mutex watchMutex;
std::vector<std::string> watched;
std::atomic<bool> watching{false};

std::string text(const GLogField& field) {
    const auto* value = static_cast<const char*>(field.value);
    if (!value) return {};
    return field.length < 0 ? std::string(value) : std::string(value, static_cast<std::size_t>(field.length));
}

// Every message of GLib's log ends here: those of the structured log directly, the others (a
// failed g_return_if_fail, g_warning, g_critical) through GLib's default handler. The first watch
// of the process installs it; it records while a watch lives.
GLogWriterOutput writeLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data) {
    if (watching && (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_ERROR))) {
        std::string domain, message;
        for (gsize i = 0; i < count; ++i) {
            std::string_view key = fields[i].key;
            if (key == "GLIB_DOMAIN") domain = text(fields[i]);
            if (key == "MESSAGE") message = text(fields[i]);
        }
        std::lock_guard lock(watchMutex);
        watched.push_back(domain + ": " + message);
    }
    return g_log_writer_default(level, fields, count, data);
}

}  // namespace

WarningWatch::WarningWatch() {
    static std::once_flag installed;
    std::call_once(installed, [] { g_log_set_writer_func(writeLog, nullptr, nullptr); });
    take();
    watching = true;
}

WarningWatch::~WarningWatch() {
    watching = false;
    // What arrives after the test's own check, while the fixture is taken down, fails it too.
    EXPECT_EQ(take(), std::vector<std::string>{}) << "reported while the test was taken down";
}

std::vector<std::string> WarningWatch::take() {
    std::lock_guard lock(watchMutex);
    return std::exchange(watched, {});
}

std::string speechStarted(const std::string& id) {
    auto event = support::serverEvent("input_audio_buffer.speech_started", {{"audio_start_ms", 5}, {"item_id", "item"}});
    event["event_id"] = id;
    return event.dump();
}

void loadPlugins() {
    realtime::detail::ensureGStreamer();
    // In the order a connection loads them: in another, ThreadSanitizer sees a plugin release
    // GObject's type lock, which GLib took where the sanitizer does not look.
    for (const char* name : {"webrtc", "rtpmanager", "audiotestsrc", "audioconvert", "audioresample", "webrtcdsp", "opus",
                             "rtp", "audiomixer", "coreelements", "app", "dtls", "srtp", "nice", "sctp", "pulseaudio"}) {
        if (GstPlugin* plugin = gst_plugin_load_by_name(name)) gst_object_unref(plugin);
    }
    // The system clock starts a thread of its own, kept for the life of the process, with the first
    // wait that is not a blocking one (a pipeline's first): start it here, with the process.
    static std::once_flag clockStarted;
    std::call_once(clockStarted, [] {
        GstClock* clock = gst_system_clock_obtain();
        GstClockID wait = gst_clock_new_single_shot_id(clock, gst_clock_get_time(clock) + GST_SECOND * 3600);
        gst_clock_id_wait_async(wait, [](GstClock*, GstClockTime, GstClockID, gpointer) -> gboolean { return TRUE; }, nullptr, nullptr);
        gst_clock_id_unschedule(wait);
        gst_clock_id_unref(wait);
        gst_object_unref(clock);
    });
}

void WebRTCTest::SetUp() { loadPlugins(); }

void WebRTCTest::TearDown() { EXPECT_EQ(warnings.take(), std::vector<std::string>{}); }

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
    return rt.run([this] { return realtime::WebRTCConnector::connect(http, offerRequest(), loopbackOptions()); }, patience);
}

std::size_t WebRTCTest::printedCount(const std::string& line) const {
    std::lock_guard lock(linesMutex);
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

bool WebRTCTest::waitForLine(const std::string& line, std::chrono::milliseconds limit) const {
    return support::eventually([&] { return printed(line); }, limit);
}

}  // namespace webrtc_test
