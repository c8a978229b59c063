// How the portal backend makes and binds its session, against a stand-in front end that answers
// as the desktops behind it do: what CreateSession already binds, what the desktop already holds,
// a binding of nothing, and a session refused for want of an application id.

#include <algorithm>

#include "platform/desktop/launcher_entry.hpp"
#include "wayland/portal_fixture.hpp"
#include "wayland/portal_stand_in.hpp"

namespace wayland_test {
namespace {

using namespace std::chrono_literals;
using GlobalShortcuts::Name;

class PortalSession : public PortalLayerTest {
protected:
    void SetUp() override { ASSERT_TRUE(bus.started()) << bus.log(); }

    void offer(PortalStandIn::Behaviour behaviour) {
        portal = std::make_unique<PortalStandIn>(bus.address(), behaviour);
        ASSERT_TRUE(portal->ready());
    }
    void start(std::chrono::milliseconds retryDelay = std::chrono::seconds(30)) {
        platform::PortalHotKeyBackend::Options options;
        options.busAddress = bus.address();
        options.callTimeout = 5s;
        options.descriptions = {{"startSession", "Start Call"}, {"endSession", "End Call"}};
        options.retryDelay = retryDelay;
        options.warn = [this](const std::string& summary, const std::string& body) {
            warnings.push_back(summary + ". " + body);
        };
        backend = platform::PortalHotKeyBackend::create(io.get_executor(), pool.get_executor(), options, fallback);
        layer = GlobalShortcuts::ShortcutLayer::create(defaults, notifications, io.get_executor(), backend,
                                                       platform::XkbKeyboardLayout::fromNames("us"));
        startSession = layer->name("startSession", controlP);
        endSession = layer->name("endSession", controlM);
        layer->onKeyDown(startSession, [this] { ++starts; });
        layer->onKeyDown(endSession, [this] { ++ends; });
    }
    bool bothBound() {
        return runUntil([&] { return backend->boundTriggers().size() == 2; });
    }
    long count(const std::string& call) const {
        auto calls = portal->calls();
        return std::count(calls.begin(), calls.end(), call);
    }
    // The launcher entry as the app makes it, in the folders the stand-in's registry searches.
    platform::LauncherEntry entry(const std::filesystem::path& program = "/bin/true") const {
        return platform::LauncherEntry("kestro", folder.path() / "data-home", {folder.path() / "data-dir"}, program,
                                       "/usr/bin:/bin");
    }
    PortalStandIn::Behaviour newerFrontEnd() const {
        return {.registry = true,
                .dataFolders = {folder.path() / "data-home", folder.path() / "data-dir"},
                .requireAppId = true};
    }

    std::unique_ptr<PortalStandIn> portal;
    Name startSession{"unused"};
    Name endSession{"unused"};
    int starts = 0;
    int ends = 0;
    std::vector<std::string> warnings;
};

// KDE Plasma before 6.1 binds only what CreateSession lists, and answers it there.
TEST_F(PortalSession, ShortcutsListedInCreateSessionAndBoundThereAreNotAskedForAgain) {
    offer({.bindCreateSessionList = true});
    start();
    ASSERT_TRUE(bothBound());
    runFor(300ms);
    EXPECT_EQ(portal->calls(), std::vector<std::string>{"CreateSession"});
    EXPECT_EQ(portal->offered(), std::vector<std::string>{"CreateSession: startSession endSession"});
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Trigger of startSession");
    portal->emit("Activated", portal->lastSession(), "startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
    EXPECT_TRUE(lines.empty()) << lines.front();
}

// A second start: the desktop holds both names already and is asked for nothing (no dialog).
TEST_F(PortalSession, WhatTheDesktopHoldsIsListedNotBoundAgain) {
    offer({.held = {{"startSession", "Ctrl+Alt+K"}, {"endSession", "Ctrl+M"}}});
    start();
    ASSERT_TRUE(bothBound());
    runFor(300ms);
    EXPECT_EQ(portal->calls(), (std::vector<std::string>{"CreateSession", "ListShortcuts"}));
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Ctrl+Alt+K");
    EXPECT_TRUE(lines.empty()) << lines.front();
}

TEST_F(PortalSession, OnlyTheNamesTheDesktopLacksAreBound) {
    offer({.held = {{"startSession", "Ctrl+P"}}});
    start();
    ASSERT_TRUE(bothBound());
    EXPECT_EQ(portal->calls(), (std::vector<std::string>{"CreateSession", "ListShortcuts", "BindShortcuts"}));
    EXPECT_EQ(portal->offered().back(), "BindShortcuts: endSession");
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Ctrl+P");
    EXPECT_EQ(layer->displayedShortcut("endSession"), "Trigger of endSession");
    portal->emit("Activated", portal->lastSession(), "endSession");
    ASSERT_TRUE(runUntil([&] { return ends == 1; }));
}

// Every session of the app has the same token, across rebinding and starts, so that a desktop
// that names the app's shortcuts after it keeps one name.
TEST_F(PortalSession, EverySessionHasTheSameToken) {
    offer({});
    start();
    ASSERT_TRUE(bothBound());
    layer->setShortcut(GlobalShortcuts::Shortcut(GlobalShortcuts::Key::k, {GlobalShortcuts::Modifier::control}),
                       startSession);
    ASSERT_TRUE(runUntil([&] { return count("CreateSession") == 2 && backend->boundTriggers().size() == 2; }));
    layer.reset();
    backend.reset();
    start();
    ASSERT_TRUE(runUntil([&] { return count("CreateSession") == 3 && backend && backend->boundTriggers().size() == 2; }));
    EXPECT_EQ(portal->sessionTokens(), (std::vector<std::string>{"kestro", "kestro", "kestro"}));
}

// KDE before 6.1 behind a front end that filters CreateSession's list: 0 and nothing bound.
TEST_F(PortalSession, ABindingOfNothingIsNoRefusalAndTheDesktopsSettingsCanStillAssignKeys) {
    offer({.bindNothing = true});
    start();
    ASSERT_TRUE(runUntil([&] { return !lines.empty(); }));
    runFor(300ms);
    EXPECT_EQ(lines, std::vector<std::string>{"The desktop assigned no keys to \"Start Call\" and \"End Call\"; its "
                                              "keyboard shortcut settings can assign them to Kestro."});
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(layer->displayedShortcut("startSession"), "");
    EXPECT_EQ(layer->displayedShortcut("endSession"), "");
    portal->emit("Activated", portal->lastSession(), "startSession");
    runFor(200ms);
    EXPECT_EQ(starts, 0) << "nothing is bound yet";

    // The user assigns a key in the desktop's settings.
    portal->changeTrigger("startSession", "Ctrl+Alt+S");
    ASSERT_TRUE(runUntil([&] { return layer->displayedShortcut("startSession") == "Ctrl+Alt+S"; }));
    portal->emit("Activated", portal->lastSession(), "startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
    EXPECT_EQ(lines.size(), 1u);
}

// Front ends from 1.21 on: without a launcher entry the registry refuses the id and the session is
// refused. Both are told once, neither as a refused key; a restarted portal is asked again.
TEST_F(PortalSession, ASessionRefusedForWantOfAnAppIdIsToldOnceAndTriedAgainWhenThePortalRestarts) {
    offer(newerFrontEnd());
    start();
    ASSERT_TRUE(runUntil([&] { return !warnings.empty() && !lines.empty(); }));
    runFor(300ms);
    EXPECT_EQ(lines, std::vector<std::string>{"The desktop portal did not accept the application id \"kestro\": "
                                              "Could not register app ID: App info not found for 'kestro'"});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("An app id is required"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("kestro.desktop"), std::string::npos) << warnings[0];
    EXPECT_EQ(layer->displayedShortcut("startSession"), "");
    EXPECT_EQ(count("BindShortcuts"), 0);

    ASSERT_EQ(entry().ensure(), platform::LauncherEntry::Outcome::written);
    portal.reset();
    offer(newerFrontEnd());
    ASSERT_TRUE(bothBound());
    EXPECT_EQ(portal->calls().front(), "Register kestro");
    portal->emit("Activated", portal->lastSession(), "startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_EQ(lines.size(), 1u);
}

// The entry appears while the portal runs on: the next try binds.
TEST_F(PortalSession, ARefusedSessionIsTriedAgainLater) {
    offer(newerFrontEnd());
    start(200ms);
    ASSERT_TRUE(runUntil([&] { return !warnings.empty(); }));
    ASSERT_EQ(entry().ensure(), platform::LauncherEntry::Outcome::written);
    ASSERT_TRUE(bothBound());
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_GE(count("CreateSession"), 2);
}

TEST_F(PortalSession, WithTheLauncherEntryInstalledTheIdIsRegisteredAndNothingIsTold) {
    ASSERT_EQ(entry().ensure(), platform::LauncherEntry::Outcome::written);
    offer(newerFrontEnd());
    start();
    ASSERT_TRUE(bothBound());
    EXPECT_TRUE(lines.empty()) << lines.front();
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace wayland_test
