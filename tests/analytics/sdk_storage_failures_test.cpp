#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics_fixtures.hpp"
#include "sdk_environment.hpp"
#include "support/test_runtime.hpp"

namespace {

using analytics_test::LogCapture;
using analytics_test::StorageFolders;
using plover::PloverConfig;
using plover::PloverSDK;
using plover::Properties;
using plover::Value;
namespace fs = std::filesystem;

// Flag requests that are never answered: these tests keep off the network.
class NoFlagRequests : public plover::PloverRemoteConfigRequests {
public:
    void flags(const std::string&, const std::optional<std::string>&, const plover::PloverApi::Groups&,
               const Properties&, const std::optional<plover::PloverApi::GroupProperties>&,
               plover::PloverApi::ResponseCompletion) override {}
    void remoteConfig(plover::PloverApi::ResponseCompletion) override {}
};

// Lines printed whether debug logging is on or not.
class PrintedLines {
public:
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count(std::string_view part) const {
        auto all = lines();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [&](auto& line) { return line.find(part) != std::string::npos; }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    platform::ScopedPrintSink sink_{[this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }};
};

struct StorageFailureFixture : ::testing::Test {
    StorageFolders folders;
    platform::NotificationCenter center;
    support::TestRuntime runtime;
    std::shared_ptr<platform::HttpClient> http = std::make_shared<platform::HttpClient>();

    void SetUp() override { ::setenv("XDG_CONFIG_HOME", (folders.folder.path() / "config").c_str(), 1); }
    ~StorageFailureFixture() override { analytics_test::expectHttpClientReleased(http); }

    fs::path keyFolder(const std::string& apiKey = "test-key") const { return folders.applicationFolder() / apiKey; }

    std::shared_ptr<PloverConfig> config(std::string_view host = "http://127.0.0.1:9") {
        auto config = analytics_test::makeConfig("test-key", host);
        config->remoteConfig = false;
        config->preloadFeatureFlags = false;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        config->captureApplicationLifecycleEvents = false;
        config->captureScreenViews = false;
        config->flushAt = 1000;
        return config;
    }
    std::shared_ptr<PloverSDK> setUp(std::shared_ptr<PloverConfig> settings) {
        return PloverSDK::with(std::move(settings), analytics_test::offlineSdkEnvironment(
                                                        runtime, http, folders, center, std::make_shared<NoFlagRequests>()));
    }
};

TEST_F(StorageFailureFixture, AHostNoRequestCanBeMadeToIsRefusedAtSetupWithALineAndNothingIsQueued) {
    for (const char* host : {"analytics.example.com", "localhost:8000"}) {
        SCOPED_TRACE(host);
        PrintedLines printed;  // debug logging stays off: the line is printed all the same
        auto sdk = setUp(config(host));
        EXPECT_FALSE(sdk->isEnabled());
        EXPECT_EQ(sdk->queue(), nullptr);
        EXPECT_TRUE(sdk->capture("after", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                 std::nullopt));
        auto lines = printed.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(std::string("[Plover] Setup refused: The host \"") + host + "\"", 0), 0u) << lines[0];
        EXPECT_FALSE(fs::exists(keyFolder() / "plover.queueFolder"));
        // The key stays free for a configuration that works.
        EXPECT_TRUE(setUp(config())->isEnabled());
        fs::remove_all(keyFolder());
    }
}

TEST_F(StorageFailureFixture, AnEventThatCannotBeStoredIsReportedToTheCallerAndItsCauseIsWrittenOnce) {
    // A file where the queue's folder should be.
    fs::create_directories(keyFolder());
    std::ofstream(keyFolder() / "plover.queueFolder") << "in the way";
    auto sdk = setUp(config());
    ASSERT_TRUE(sdk->isEnabled());
    PrintedLines printed;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(sdk->capture("lost", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                  std::nullopt));
    }
    EXPECT_EQ(printed.count("Events cannot be stored in"), 1u);
    EXPECT_EQ(printed.lines().size(), 1u);
}

TEST_F(StorageFailureFixture, AnEventLargerThanTheQueueReadsIsRefusedAtCaptureAndOthersGoOn) {
    auto sdk = setUp(config());
    PrintedLines printed;
    Properties huge{{"blob", Value(std::string(plover::PloverFileBackedQueue::maximumFileSize, 'x'))}};
    EXPECT_FALSE(sdk->capture("huge", std::nullopt, huge, std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_EQ(sdk->queue()->depth(), 0u);
    EXPECT_EQ(printed.count("File too large"), 1u);
    EXPECT_TRUE(sdk->capture("small", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                             std::nullopt));
    EXPECT_EQ(sdk->queue()->depth(), 1u);
}

TEST_F(StorageFailureFixture, AnIdentityThatCannotBeStoredIsReportedToTheCallerOnce) {
    // Folders where the identity's files should be: no file can be renamed over them.
    auto block = [this] {
        fs::create_directories(keyFolder() / "plover.distinctId" / "in the way");
        fs::create_directories(keyFolder() / "plover.isIdentified" / "in the way");
    };
    block();
    auto sdk = setUp(config());
    PrintedLines printed;
    EXPECT_FALSE(sdk->identify("user-1", std::nullopt, std::nullopt));
    // The new identity holds for this process.
    EXPECT_EQ(sdk->getDistinctId(), "user-1");
    sdk->reset();
    block();
    EXPECT_FALSE(sdk->identify("user-2", std::nullopt, std::nullopt));
    EXPECT_EQ(printed.count("The identity cannot be stored"), 1u);
    // Calls that store nothing report nothing.
    EXPECT_TRUE(sdk->identify("", std::nullopt, std::nullopt));
    EXPECT_TRUE(sdk->identify("someone else", std::nullopt, std::nullopt));
}

}  // namespace
