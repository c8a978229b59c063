#include <gtest/gtest.h>

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/screen/screen_view_publisher.hpp"

namespace {

TEST(ScreenViewPublisher, CallsEachLivingRegistrationWithTheName) {
    auto publisher = plover::BaseScreenViewPublisher::create();
    std::vector<std::string> first, second;
    auto firstToken = publisher->registerCallback([&](const std::string& name) { first.push_back(name); });
    auto secondToken = publisher->registerCallback([&](const std::string& name) { second.push_back(name); });
    publisher->screenViewed("Home");
    secondToken.reset();
    publisher->screenViewed("Settings");
    EXPECT_EQ(first, (std::vector<std::string>{"Home", "Settings"}));
    EXPECT_EQ(second, (std::vector<std::string>{"Home"}));
}

TEST(ScreenViewPublisher, ReleasingATokenAfterThePublisherIsGoneDoesNothing) {
    auto publisher = plover::BaseScreenViewPublisher::create();
    auto token = publisher->registerCallback([](const std::string&) {});
    publisher.reset();
    token.reset();  // must neither crash nor touch freed memory (asan)
    SUCCEED();
}

TEST(ScreenViewPublisher, ACallbackMayReleaseItsOwnTokenWhileCalled) {
    auto publisher = plover::BaseScreenViewPublisher::create();
    int calls = 0;
    std::unique_ptr<plover::RegistrationToken> token;
    token = publisher->registerCallback([&](const std::string&) {
        ++calls;
        token.reset();  // takes the registration lock: it must not be held during the call
    });
    publisher->screenViewed("Once");
    publisher->screenViewed("Twice");
    EXPECT_EQ(calls, 1);
}

TEST(ScreenViewPublisher, TheContainerHandsOutTheOneProcessPublisher) {
    auto fromContainer = plover::DI::main().screenViewPublisher();
    EXPECT_EQ(fromContainer, plover::DI::main().screenViewPublisher());
    EXPECT_EQ(fromContainer.get(),
              static_cast<plover::ScreenViewPublishing*>(plover::ApplicationScreenViewPublisher::shared().get()));
}

}  // namespace
