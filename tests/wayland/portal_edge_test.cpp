// The portal backend's edge cases, against a stand-in for the portal front end.

#include <algorithm>

#include "wayland/portal_fixture.hpp"
#include "wayland/portal_stand_in.hpp"

namespace wayland_test {
namespace {

using namespace std::chrono_literals;
using GlobalShortcuts::Name;
using Availability = platform::PortalHotKeyBackend::Availability;

class PortalEdges : public PortalLayerTest {
protected:
    void SetUp() override { ASSERT_TRUE(bus.started()) << bus.log(); }

    void offer(PortalStandIn::Behaviour behaviour) {
        portal = std::make_unique<PortalStandIn>(bus.address(), behaviour);
        ASSERT_TRUE(portal->ready());
    }
    void declareNames() {
        startSession = layer->name("startSession", controlP);
        endSession = layer->name("endSession", controlM);
        layer->onKeyDown(startSession, [this] { ++starts; });
        layer->onKeyDown(endSession, [this] { ++ends; });
    }

    std::unique_ptr<PortalStandIn> portal;
    Name startSession{"unused"};
    Name endSession{"unused"};
    int starts = 0;
    int ends = 0;
};

TEST_F(PortalEdges, WithoutAPortalTheSessionIsSaidOnceAndTheFallbackHoldsTheKeys) {
    startLayer();
    declareNames();
    ASSERT_TRUE(runUntil([&] { return backend->availability() == Availability::fallback; }));
    EXPECT_EQ(lines, std::vector<std::string>{"Global shortcuts are not available. This Wayland desktop offers "
                                              "applications no global keyboard shortcuts. Start and end calls from "
                                              "Kestro's menu in the panel."});
    ASSERT_EQ(fallback->held().size(), 2u);
    EXPECT_EQ(fallback->held()[0].keyCode, 35u);
    EXPECT_EQ(layer->displayedShortcut("startSession"), "\u2303P");
    ASSERT_TRUE(fallback->press(35, 4096));
    runFor(50ms);
    EXPECT_EQ(starts, 1);
}

TEST_F(PortalEdges, TheApplicationIdIsRegisteredFirstWhereThePortalHasARegistry) {
    offer({.registry = true, .leaveOut = {}});
    startLayer();
    declareNames();
    ASSERT_TRUE(runUntil([&] { return backend->boundTriggers().size() == 2; }));
    EXPECT_EQ(portal->calls(),
              (std::vector<std::string>{"Register kestro", "CreateSession", "ListShortcuts", "BindShortcuts"}));
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Trigger of startSession");
}

// Portals from before handle tokens answer under paths of their own, told in the call's reply.
TEST_F(PortalEdges, AnswersUnderAPathThePortalChoseAreFollowed) {
    offer({.ignoreTokens = true, .leaveOut = {}});
    startLayer();
    declareNames();
    ASSERT_TRUE(runUntil([&] { return backend->boundTriggers().size() == 2; }));
    portal->emit("Activated", portal->lastSession(), "endSession");
    ASSERT_TRUE(runUntil([&] { return ends == 1; }));
    EXPECT_TRUE(lines.empty());
}

TEST_F(PortalEdges, OnlyTheBoundNamesOfTheOwnSessionArePressed) {
    offer({.leaveOut = {"endSession"}});
    startLayer();
    declareNames();
    ASSERT_TRUE(runUntil([&] { return backend->boundTriggers().size() == 1 && !lines.empty(); }));
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2303M: -6"});
    EXPECT_EQ(layer->displayedShortcut("endSession"), "");
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Trigger of startSession");

    portal->emit("Activated", portal->lastSession(), "endSession");
    portal->emit("Activated", "/org/freedesktop/portal/desktop/session/1_99/other", "startSession");
    portal->emit("Activated", portal->lastSession(), "unknownName");
    runFor(200ms);
    EXPECT_EQ(starts + ends, 0);
    portal->emit("Activated", portal->lastSession(), "startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
}

// The portal refused the session, not the user a key: told once as that, in words (not the
// portal's response code), with what the user can do, and no key is shown.
TEST_F(PortalEdges, ASessionAnswerWithoutItsHandleOrWithARefusingCodeIsARefusedSessionToldInWords) {
    struct Case {
        PortalStandIn::Behaviour behaviour;
        const char* why;
    };
    for (const auto& c : {Case{{.omitSessionHandle = true, .leaveOut = {}}, "its answer did not say which session it opened"},
                          Case{{.sessionResponse = 2, .leaveOut = {}}, "the desktop ended the request without opening one"},
                          Case{{.sessionResponse = 1, .leaveOut = {}}, "the request was cancelled on the desktop"}}) {
        SCOPED_TRACE(c.why);
        lines.clear();
        offer(c.behaviour);
        startLayer();
        declareNames();
        ASSERT_TRUE(runUntil([&] { return !lines.empty(); }));
        runFor(300ms);
        EXPECT_EQ(lines, std::vector<std::string>{"Global shortcuts are not available. The desktop portal refused a "
                                                  "shortcut session for Kestro: " + std::string(c.why) +
                                                  ". Until then, start and end calls from Kestro's menu in the panel; "
                                                  "Kestro asks again later and when the portal restarts."});
        EXPECT_EQ(portal->calls(), std::vector<std::string>{"CreateSession"});
        EXPECT_EQ(layer->displayedShortcut("startSession"), "");
        layer.reset();
        backend.reset();
        runFor(50ms);
        portal.reset();
    }
}

// Names that come and go while a binding is under way are bound once, with what is wanted last.
TEST_F(PortalEdges, ChangesWhileBindingEndInOneBindingOfTheLatestNames) {
    offer({});
    startLayer();
    declareNames();
    runFor(20ms);
    layer->setShortcut(GlobalShortcuts::Shortcut(GlobalShortcuts::Key::k, {GlobalShortcuts::Modifier::control}), startSession);
    ASSERT_TRUE(runUntil([&] { return backend->boundTriggers().size() == 2; }));
    runFor(500ms);
    auto calls = portal->calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "BindShortcuts"), 1) << "the stale session is never bound";
    EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace wayland_test
