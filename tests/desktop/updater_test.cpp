#include "platform/desktop/updater.hpp"

#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "platform/desktop/system_logger.hpp"
#include "platform/desktop/url_opener.hpp"
#include "platform/http/http_client.hpp"
#include "support/fake_backend.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using platform::UpdateFeedEntry;
using platform::Updater;

TEST(UpdateFeed, DecodesVersionAndDownloadPage) {
    auto entry =
        UpdateFeedEntry::decode(R"({"version": "1.4.2", "url": "https://kestro.app/dl", "notes": 1})");
    EXPECT_EQ(entry.version, "1.4.2");
    EXPECT_EQ(entry.url, "https://kestro.app/dl");

    for (const char* bad :
         {"", "[]", "{\"version\": \"1.0\"}", R"({"version": 2, "url": "https://x"})",
          R"({"version": "1.x", "url": "https://x"})", R"({"version": "", "url": "https://x"})",
          R"({"version": "1..2", "url": "https://x"})", R"({"version": "2.0", "url": "file:///etc/passwd"})",
          R"({"version": "2.0", "url": "https://bad host/"})"}) {
        EXPECT_THROW(UpdateFeedEntry::decode(bad), platform::UpdateFeedError) << bad;
    }
}

TEST(UpdateFeed, VersionsCompareNumericallyPartByPart) {
    EXPECT_EQ(platform::compareVersions("1.10", "1.9"), 1);
    EXPECT_EQ(platform::compareVersions("1.2", "1.2.0"), 0);
    EXPECT_EQ(platform::compareVersions("0.1.0", "0.1.1"), -1);
    EXPECT_EQ(platform::compareVersions("2", "10"), -1);
    EXPECT_EQ(platform::compareVersions("1.0-beta", "1.0"), std::nullopt);
}

struct FakeFeed {
    asio::steady_timer gate;
    bool hold = false;
    bool fail = false;
    std::string body = R"({"version": "0.1.0", "url": "https://kestro.app/dl"})";
    std::vector<std::string> requests;

    explicit FakeFeed(asio::io_context& context) : gate(context, asio::steady_timer::time_point::max()) {}

    static asio::awaitable<std::string> fetch(FakeFeed* feed, std::string url) {
        feed->requests.push_back(url);
        if (feed->hold) co_await feed->gate.async_wait(asio::as_tuple(asio::use_awaitable));
        if (feed->fail) throw std::runtime_error("connection refused");
        co_return feed->body;
    }
};

struct FakeDriver : platform::UpdaterUserDriver {
    std::vector<std::string> shown;
    std::function<void()> openDownload;
    void showUpdateFound(const UpdateFeedEntry& update, std::function<void()> open) override {
        shown.push_back("found " + update.version);
        openDownload = std::move(open);
    }
    void showUpdateNotFound() override { shown.push_back("none"); }
    void showUpdaterError(const std::string& text) override { shown.push_back("error " + text); }
};

struct RecordingOpener : platform::UrlOpener {
    std::vector<std::string> opened;
    void open(const platform::Url& url) override { opened.push_back(url.text()); }
};

class UpdaterTest : public ::testing::Test {
protected:
    std::unique_ptr<Updater> make(std::optional<std::string> feedUrl,
                                  std::chrono::milliseconds interval = 24h) {
        return std::make_unique<Updater>(
            context.get_executor(), context.get_executor(),
            Updater::Options{std::move(feedUrl), "0.1.0", interval},
            [this](std::string url) { return FakeFeed::fetch(&feed, std::move(url)); }, opener, driver);
    }
    void settle() {
        context.restart();
        context.poll();
    }

    asio::io_context context;
    FakeFeed feed{context};
    std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
    std::shared_ptr<RecordingOpener> opener = std::make_shared<RecordingOpener>();
    std::vector<platform::LogRecord> logs;
    platform::ScopedLogSink sink{[this](const platform::LogRecord& record) { logs.push_back(record); }};
};

TEST_F(UpdaterTest, CannotCheckWithoutAFeedBeforeStartOrWhileACheckRuns) {
    auto withoutFeed = make(std::nullopt);
    withoutFeed->start();
    withoutFeed->setAutomaticallyChecksForUpdates(true);
    withoutFeed->checkForUpdates();
    auto updater = make("http://127.0.0.1:1/feed.json");
    EXPECT_FALSE(updater->canCheckForUpdates());
    updater->checkForUpdates();
    settle();
    EXPECT_FALSE(withoutFeed->canCheckForUpdates());
    EXPECT_TRUE(feed.requests.empty());

    updater->start();
    std::vector<bool> seen;
    auto subscription = updater->observeCanCheckForUpdates([&](bool can) { seen.push_back(can); });
    feed.hold = true;
    updater->checkForUpdates();
    updater->checkForUpdates();
    settle();
    EXPECT_FALSE(updater->canCheckForUpdates());
    EXPECT_EQ(feed.requests, (std::vector<std::string>{"http://127.0.0.1:1/feed.json"}));

    feed.gate.cancel();
    settle();
    EXPECT_TRUE(updater->canCheckForUpdates());
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    EXPECT_EQ(driver->shown, (std::vector<std::string>{"none"}));
}

TEST_F(UpdaterTest, AutomaticChecksRunAtStartAndThenEveryIntervalUntilSwitchedOff) {
    auto updater = make("http://127.0.0.1:1/feed.json", 20ms);
    updater->setAutomaticallyDownloadsUpdates(true);
    EXPECT_TRUE(updater->automaticallyDownloadsUpdates());
    updater->setAutomaticallyChecksForUpdates(true);
    settle();
    EXPECT_TRUE(feed.requests.empty()) << "not started yet";

    // Automatic checks stay quiet: a failing one is only logged, one with nothing new says nothing.
    feed.fail = true;
    updater->start();
    settle();
    EXPECT_EQ(feed.requests.size(), 1u);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].message, "Update check failed: connection refused");
    feed.fail = false;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (feed.requests.size() < 3 && std::chrono::steady_clock::now() < deadline)
        context.run_one_for(100ms);
    EXPECT_GE(feed.requests.size(), 3u);
    EXPECT_TRUE(driver->shown.empty());

    updater->setAutomaticallyChecksForUpdates(false);
    auto count = feed.requests.size();
    context.restart();
    context.run_for(100ms);
    EXPECT_EQ(feed.requests.size(), count);
}

TEST_F(UpdaterTest, DestroyingTheUpdaterDuringACheckShowsNothingAndLeavesNoWork) {
    feed.hold = true;
    feed.body = R"({"version": "9.0", "url": "https://kestro.app/dl"})";
    auto updater = make("http://127.0.0.1:1/feed.json");
    updater->start();
    updater->setAutomaticallyChecksForUpdates(true);
    settle();
    updater.reset();
    feed.gate.cancel();
    context.restart();
    context.run_for(50ms);
    EXPECT_TRUE(context.stopped()) << "no timer or check left behind";
    EXPECT_TRUE(driver->shown.empty());
}

// The real HTTP client against a loopback feed.
TEST(UpdaterOverHttp, ANewerVersionIsAnnouncedItsPageOpenedOnRequestAndAFailureShownForAUserCheck) {
    support::FakeBackend feedServer;
    feedServer.enqueue("/feed.json", support::ScriptedReply::json(
                                         200, R"({"version": "3.0", "url": "https://kestro.app/3"})"));
    feedServer.enqueue("/feed.json", support::ScriptedReply::text(500, "oops"));
    asio::io_context context;
    auto driver = std::make_shared<FakeDriver>();
    auto opener = std::make_shared<RecordingOpener>();
    std::vector<platform::LogRecord> logs;
    platform::ScopedLogSink sink([&](const platform::LogRecord& record) { logs.push_back(record); });
    Updater updater(context.get_executor(), context.get_executor(),
                    Updater::Options{feedServer.baseUrl() + "feed.json", "2.9.9"},
                    Updater::httpFetch(std::make_shared<platform::HttpClient>()), opener, driver);
    updater.start();

    for (int round = 0; round < 2; ++round) {
        updater.checkForUpdates();
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!updater.canCheckForUpdates() && std::chrono::steady_clock::now() < deadline) {
            context.restart();
            context.run_one_for(50ms);
        }
        if (round == 0) {
            ASSERT_EQ(driver->shown, std::vector<std::string>{"found 3.0"});
            EXPECT_TRUE(opener->opened.empty());
            driver->openDownload();
            EXPECT_EQ(opener->opened, std::vector<std::string>{"https://kestro.app/3"});
        }
    }
    EXPECT_EQ(driver->shown, (std::vector<std::string>{
                                 "found 3.0", "error Could not check for updates. Please try again later."}));
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].message, "Update check failed: The update feed answered with status 500");
    ASSERT_EQ(feedServer.requestsTo("/feed.json").size(), 2u);
    EXPECT_EQ(feedServer.requestsTo("/feed.json")[0].method, "GET");
    EXPECT_TRUE(updater.canCheckForUpdates()) << "a failed check lets the next one run";
}

// A feed that answers without end is cut off at 1 MiB and the check fails, however valid the
// start of the reply.
TEST(UpdaterOverHttp, AFeedReplyPastOneMebibyteFailsTheCheck) {
    support::FakeBackend feedServer;
    const std::string feed = R"({"version": "3.0", "url": "https://kestro.app/3"})";
    feedServer.setReply("/feed.json", support::ScriptedReply::json(200, feed + std::string(std::size_t{1} << 20, ' ')));
    asio::io_context context;
    auto driver = std::make_shared<FakeDriver>();
    std::vector<platform::LogRecord> logs;
    platform::ScopedLogSink sink([&](const platform::LogRecord& record) { logs.push_back(record); });
    Updater updater(context.get_executor(), context.get_executor(),
                    Updater::Options{feedServer.baseUrl() + "feed.json", "2.9.9"},
                    Updater::httpFetch(std::make_shared<platform::HttpClient>()), std::make_shared<RecordingOpener>(),
                    driver);
    updater.start();
    updater.checkForUpdates();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!updater.canCheckForUpdates() && std::chrono::steady_clock::now() < deadline) {
        context.restart();
        context.run_one_for(50ms);
    }
    EXPECT_EQ(driver->shown, std::vector<std::string>{"error Could not check for updates. Please try again later."});
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].message, "Update check failed: The update feed's reply is too large");
}

}  // namespace
