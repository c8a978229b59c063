// The screen size and application state the Qt host feeds into the analytics client.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analytics/context/plover_context.hpp"
#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/qt/qt_application_state.hpp"
#include "analytics/qt/qt_screen_size.hpp"

namespace {

using namespace plover;

QGuiApplication& application() {
    static int argc = 1;
    static char name[] = "test_analytics_qt";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals may already be gone at exit.
    static auto* app = new QGuiApplication(argc, argv);
    return *app;
}

template <class Predicate>
bool processEventsUntil(Predicate done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10'000) QGuiApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

std::shared_ptr<PloverContext> makeContext() { return std::make_shared<PloverContext>(nullptr, ApplicationInfo{}); }

// The screen properties the context puts on events, as the host fed them.
std::optional<std::pair<float, float>> reportedScreen(PloverContext& context) {
    const Properties dynamic = context.dynamicContext();
    const auto width = dynamic.find("$screen_width");
    const auto height = dynamic.find("$screen_height");
    if (width == dynamic.end() || height == dynamic.end()) return std::nullopt;
    return std::pair{width->second.json()->to_number<float>(), height->second.json()->to_number<float>()};
}

std::pair<float, float> primaryScreenSize() {
    const QSize size = QGuiApplication::primaryScreen()->size();
    return {static_cast<float>(size.width()), static_cast<float>(size.height())};
}

class ScreenSizeFeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        ASSERT_NE(QGuiApplication::primaryScreen(), nullptr) << "the offscreen platform has a screen";
        ASSERT_FALSE(QGuiApplication::primaryScreen()->size().isEmpty());
    }
};

TEST_F(ScreenSizeFeedTest, TheContextHasThePrimaryScreensSizeFromTheStart) {
    auto context = makeContext();
    ASSERT_FALSE(reportedScreen(*context)) << "nothing measured before the feed exists";
    QtScreenSizeFeed feed(context);
    EXPECT_EQ(reportedScreen(*context), primaryScreenSize());
}

TEST_F(ScreenSizeFeedTest, EveryScreenChangeMeasuresAgain) {
    struct Case {
        const char* change;
        std::function<void()> signal;
    };
    QScreen* primary = QGuiApplication::primaryScreen();
    const std::vector<Case> cases = {
        {"primary screen's geometry", [primary] { emit primary->geometryChanged(primary->geometry()); }},
        {"another primary screen", [primary] { emit qGuiApp->primaryScreenChanged(primary); }},
        {"geometry after a change of primary", [primary] {
             emit qGuiApp->primaryScreenChanged(primary);
             emit primary->geometryChanged(primary->geometry());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        auto context = makeContext();
        QtScreenSizeFeed feed(context);
        context->setScreenSize(ScreenSize{1, 2});
        c.signal();
        EXPECT_EQ(reportedScreen(*context), primaryScreenSize());
    }
}

TEST_F(ScreenSizeFeedTest, NoScreenMeansNoSize) {
    EXPECT_FALSE(screenSizeOf(nullptr));
    const auto measured = screenSizeOf(QGuiApplication::primaryScreen());
    ASSERT_TRUE(measured);
    EXPECT_EQ(measured->width, QGuiApplication::primaryScreen()->size().width());
    EXPECT_EQ(measured->height, QGuiApplication::primaryScreen()->size().height());
}

TEST_F(ScreenSizeFeedTest, AGoneFeedOrContextIsLeftAlone) {
    QScreen* primary = QGuiApplication::primaryScreen();
    auto context = makeContext();
    {
        QtScreenSizeFeed feed(context);
    }
    context->setScreenSize(std::nullopt);
    emit primary->geometryChanged(primary->geometry());
    emit qGuiApp->primaryScreenChanged(primary);
    EXPECT_FALSE(reportedScreen(*context)) << "a destroyed feed stopped listening";

    QtScreenSizeFeed orphan(context);
    context.reset();
    emit primary->geometryChanged(primary->geometry());  // must not touch the context that is gone
    orphan.update();
}

// Records what the publisher fans out, in order.
struct LifecycleLog {
    explicit LifecycleLog(const std::shared_ptr<BaseApplicationLifecyclePublisher>& publisher)
        : launched(publisher->onDidFinishLaunching([this] { calls.push_back("launched"); })),
          active(publisher->onDidBecomeActive([this] { calls.push_back("active"); })),
          background(publisher->onDidEnterBackground([this] { calls.push_back("background"); })) {}

    std::vector<std::string> calls;
    std::unique_ptr<RegistrationToken> launched, active, background;
};

class ApplicationStateFeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        ASSERT_NE(QGuiApplication::applicationState(), Qt::ApplicationActive)
            << "without a window the offscreen application is not active";
    }

    std::shared_ptr<BaseApplicationLifecyclePublisher> publisher = BaseApplicationLifecyclePublisher::create();
    LifecycleLog log{publisher};
};

using Calls = std::vector<std::string>;

TEST_F(ApplicationStateFeedTest, StatesMapToLifecycleReportsOnlyOnARealChange) {
    struct Case {
        const char* name;
        std::vector<Qt::ApplicationState> states;
        Calls expected;
    };
    const std::vector<Case> cases = {
        {"nothing yet", {}, {"launched"}},
        {"background from the start", {Qt::ApplicationInactive, Qt::ApplicationHidden}, {"launched"}},
        {"active once", {Qt::ApplicationActive}, {"launched", "active"}},
        {"active twice", {Qt::ApplicationActive, Qt::ApplicationActive}, {"launched", "active"}},
        {"inactive", {Qt::ApplicationActive, Qt::ApplicationInactive}, {"launched", "active", "background"}},
        {"hidden", {Qt::ApplicationActive, Qt::ApplicationHidden}, {"launched", "active", "background"}},
        {"suspended", {Qt::ApplicationActive, Qt::ApplicationSuspended}, {"launched", "active", "background"}},
        {"every way of leaving, then back",
         {Qt::ApplicationActive, Qt::ApplicationInactive, Qt::ApplicationHidden, Qt::ApplicationSuspended,
          Qt::ApplicationInactive, Qt::ApplicationActive},
         {"launched", "active", "background", "active"}},
        {"back and forth",
         {Qt::ApplicationActive, Qt::ApplicationInactive, Qt::ApplicationActive, Qt::ApplicationHidden},
         {"launched", "active", "background", "active", "background"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto casePublisher = BaseApplicationLifecyclePublisher::create();
        LifecycleLog caseLog(casePublisher);
        QtApplicationStateFeed feed(casePublisher);
        for (auto state : c.states) feed.applicationStateChanged(state);
        EXPECT_EQ(caseLog.calls, c.expected);
    }
}

TEST_F(ApplicationStateFeedTest, TheApplicationsSignalIsFollowedWhileTheFeedLives) {
    {
        QtApplicationStateFeed feed(publisher);
        emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
        emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
        emit qGuiApp->applicationStateChanged(Qt::ApplicationHidden);
        EXPECT_EQ(log.calls, (Calls{"launched", "active", "background"}));
    }
    emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(log.calls, (Calls{"launched", "active", "background"})) << "a destroyed feed reports nothing";
}

TEST_F(ApplicationStateFeedTest, ARealActivationIsReportedAndSoIsAnAlreadyActiveApplication) {
    QtApplicationStateFeed feed(publisher);
    auto window = std::make_unique<QWindow>();
    window->resize(200, 100);
    window->show();
    window->requestActivate();
    if (!processEventsUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; })) {
        GTEST_SKIP() << "this Qt platform does not make the application active for a focused window";
    }
    EXPECT_EQ(log.calls, (Calls{"launched", "active"}));

    // A feed made while the application is active reports it at once.
    auto latePublisher = BaseApplicationLifecyclePublisher::create();
    LifecycleLog lateLog(latePublisher);
    QtApplicationStateFeed lateFeed(latePublisher);
    EXPECT_EQ(lateLog.calls, (Calls{"launched", "active"}));
    EXPECT_EQ(log.calls, (Calls{"launched", "active"})) << "the other feed reported nothing twice";
    // The offscreen platform never takes the focus back from a window, so leaving the active state
    // is driven through the signal (above).
}

}  // namespace
