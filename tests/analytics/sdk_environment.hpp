#pragma once
// The collaborators an instance under test is given: the test's own threads, HTTP client, private
// folders and notification centre, and, for tests that keep off the network, a reachability that
// never reports and flag requests the test holds.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <utility>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics_fixtures.hpp"
#include "fake_flag_source.hpp"
#include "platform/http/http_client.hpp"
#include "platform/notifications/notification_center.hpp"
#include "support/test_runtime.hpp"

namespace analytics_test {

inline plover::PloverSDKEnvironment sdkEnvironment(support::TestRuntime& runtime,
                                                   std::shared_ptr<platform::HttpClient> http,
                                                   const StorageFolders& folders,
                                                   platform::NotificationCenter& center) {
    plover::PloverSDKEnvironment environment;
    environment.main = runtime.main();
    environment.background = runtime.shared();
    environment.http = std::move(http);
    environment.storage = folders.environment();
    environment.notifications = &center;
    return environment;
}

// An upload still under way when a test ends holds the HTTP client through its completion, which
// then hands its outcome to the test's runtime: a fixture waits for it to be over before the
// runtime goes.
inline void expectHttpClientReleased(const std::shared_ptr<platform::HttpClient>& http) {
    if (!support::eventually([&] { return http.use_count() == 1; })) {
        ADD_FAILURE() << "the HTTP client is still held after the test";
    }
}

inline plover::PloverSDKEnvironment offlineSdkEnvironment(
    support::TestRuntime& runtime, std::shared_ptr<platform::HttpClient> http, const StorageFolders& folders,
    platform::NotificationCenter& center, std::shared_ptr<plover::PloverRemoteConfigRequests> requests) {
    auto environment = sdkEnvironment(runtime, std::move(http), folders, center);
    environment.makeReachability = [main = runtime.main()](const plover::PloverSDKEnvironment&) {
        return plover::Reachability::create(std::make_unique<FakeFlagSource>(std::make_shared<std::atomic<int>>(0)),
                                            main);
    };
    environment.makeFlagRequests = [requests = std::move(requests)](std::shared_ptr<const plover::PloverApi>) {
        return requests;
    };
    return environment;
}

}  // namespace analytics_test
