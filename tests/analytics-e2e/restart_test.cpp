// A program that is killed after capturing loses nothing: its events wait on disk and go out
// with the next start on the same folder.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "e2e_fixture.hpp"

extern char** environ;

namespace {

using namespace analytics_e2e;

constexpr const char* childDataHome = "KESTRO_E2E_KILLED_DATA_HOME";
constexpr const char* childHost = "KESTRO_E2E_KILLED_HOST";
constexpr const char* childApplication = "org.example.app";

// Started as a child, this program sets the client up on the folder it is given, captures, and
// ends at once, without closing or running a destructor, as a killed program would.
[[maybe_unused]] const bool killedChild = [] {
    const char* home = std::getenv(childDataHome);
    const char* host = std::getenv(childHost);
    if (!home || !host) return false;
    // The client's own threads and HTTP client, as an application without a runtime of its own.
    plover::PloverSDKEnvironment environment;
    environment.storage.applicationIdentifier = childApplication;
    environment.storage.dataHome = home;
    auto sdk = PloverSDK::with(testConfig("e2e-key", host), environment);
    for (int i = 0; i < 3; ++i) sdk->capture("before the kill", Properties{{"i", i}});
    std::fflush(nullptr);
    std::_Exit(sdk->isEnabled() ? 0 : 3);
}();

TEST_F(EndToEnd, EventsOfAKilledProgramAreSentByTheNextStart) {
    // The killed program never gets an answer to its uploads.
    server.setReply("/batch", support::ScriptedReply::dropped());
    ASSERT_EQ(folders.environment().applicationIdentifier, childApplication);
    std::string home = std::string(childDataHome) + "=" + folders.dataHome().string();
    std::string host = std::string(childHost) + "=" + server.host();
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
    environment.push_back(home.data());
    environment.push_back(host.data());
    environment.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_list_tests";
    char* arguments[] = {self.data(), filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, self.c_str(), nullptr, nullptr, arguments, environment.data()), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    // What the killed program tried to send counts for nothing: it was never answered.
    auto tried = uploads().size();
    server.setReply("/batch", support::ScriptedReply::json(200, "{}"));
    auto sdk = setUp();
    drain(*sdk);
    std::set<std::int64_t> sent;
    auto bodies = uploads();
    for (auto body = bodies.begin() + static_cast<std::ptrdiff_t>(tried); body != bodies.end(); ++body) {
        for (auto& event : body->at("batch").as_array()) {
            if (event.at("event") == "before the kill") sent.insert(event.at("properties").at("i").as_int64());
        }
    }
    EXPECT_EQ(sent, (std::set<std::int64_t>{0, 1, 2}));
    sdk->close();
}

}  // namespace
