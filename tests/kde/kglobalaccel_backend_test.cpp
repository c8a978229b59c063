// The kglobalaccel backend under the shortcut layer, against Debian's kglobalaccel5: what the
// service is told, what reaches the layer's actions, and what the menu is given to show.

#include <fstream>

#include "kde/kde_layer_fixture.hpp"

namespace kde_test {
namespace {

using namespace std::chrono_literals;
using x11_test::Keysym::controlL;
using Availability = platform::KGlobalAccelHotKeyBackend::Availability;

TEST_F(KdeLayerTest, EachNameIsAnActionOfKestroAndItsKeysStartAndEnd) {
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered()) << service.log() << printedLines();
    EXPECT_EQ(backend->availability(), Availability::kglobalaccel);
    auto actions = service.actions("kestro");
    EXPECT_NE(std::find(actions.begin(), actions.end(), startSessionId), actions.end());
    EXPECT_NE(std::find(actions.begin(), actions.end(), endSessionId), actions.end());
    EXPECT_EQ(service.defaultKeys(startSessionId), std::vector<std::int32_t>{Keys::controlP});
    EXPECT_EQ(service.defaultKeys(endSessionId), std::vector<std::int32_t>{Keys::controlM});

    // Held as a person holds it: the service tells the release of a press it has seen.
    const auto control = keyboard.keycode(controlL);
    const auto p = keyboard.keycode(x11_test::Keysym::p);
    keyboard.down(control);
    keyboard.down(p);
    EXPECT_TRUE(runUntil([&] { return starts == 1; }, 5s));
    EXPECT_EQ(startReleases, 0);
    keyboard.up(p);
    keyboard.up(control);
    EXPECT_TRUE(runUntil([&] { return startReleases == 1; }, 5s)) << "the release reaches the key-up action";
    EXPECT_EQ(starts, 1);
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::m}, ends, 1));
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(layer->shownShortcut("startSession"), controlP);
    EXPECT_EQ(layer->displayedShortcut("endSession"), "\u2303M");
    EXPECT_EQ(fallbacksMade, 0);
    EXPECT_TRUE(lines.empty()) << printedLines();
}

TEST_F(KdeLayerTest, TheKeysChosenInKdesSettingsWinAndTheirChangesReachTheMenu) {
    // Chosen in System Settings in an earlier session.
    std::ofstream(service.configFolder() / "kglobalshortcutsrc")
        << "[kestro]\n_k_friendly_name=Kestro\nstartSession=Ctrl+Alt+K,Ctrl+P,Start Call\n";
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered(Keys::controlAltK)) << service.log();
    ASSERT_TRUE(runUntil([&] { return layer->shownShortcut("startSession") == controlAltK; }));
    EXPECT_EQ(service.defaultKeys(startSessionId), std::vector<std::int32_t>{Keys::controlP});
    EXPECT_EQ(layer->getShortcut(*startSession), controlP) << "the stored shortcut stays the application's";
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::altL, x11_test::Keysym::k}, starts, 1));
    keyboard.chord({controlL, x11_test::Keysym::p});
    runFor(300ms);
    EXPECT_EQ(starts, 1) << "control-P is no key of the action any more";

    // Changed while the application runs.
    changed.clear();
    service.setForeignKeys(startSessionId, Keys::controlJ);
    ASSERT_TRUE(runUntil([&] { return layer->shownShortcut("startSession") == controlJ; })) << service.log();
    EXPECT_NE(std::find(changed.begin(), changed.end(), "startSession"), changed.end());
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::j}, starts, 2));

    // Cleared there: the menu shows no key.
    service.setForeignKeys(startSessionId, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return !layer->shownShortcut("startSession"); }));
    EXPECT_EQ(layer->displayedShortcut("startSession"), "");
    EXPECT_TRUE(lines.empty()) << printedLines();
}

TEST_F(KdeLayerTest, ACombinationRecordedInKestroIsSetInKde) {
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered()) << service.log();
    layer->setShortcut(controlJ, *startSession);
    ASSERT_TRUE(runUntil([&] { return service.keys(startSessionId) == std::vector<std::int32_t>{Keys::controlJ}; }))
        << service.log();
    EXPECT_EQ(service.defaultKeys(startSessionId), std::vector<std::int32_t>{Keys::controlJ});
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::j}, starts, 1));
    EXPECT_EQ(layer->shownShortcut("startSession"), controlJ);
    keyboard.chord({controlL, x11_test::Keysym::p});
    runFor(300ms);
    EXPECT_EQ(starts, 1) << "the old combination is let go";
}

TEST_F(KdeLayerTest, HeldElsewhereMeansAnotherComponentHasTheKey) {
    ASSERT_TRUE(service.start()) << service.log();
    service.holdForOther("other", "grab", Keys::controlQ);
    startLayer();
    ASSERT_TRUE(registered()) << service.log();
    const auto control = static_cast<std::uint32_t>(GlobalShortcuts::CarbonModifier::control);
    EXPECT_TRUE(backend->isHeldElsewhere(GlobalShortcuts::Key::q.rawValue, control));
    EXPECT_FALSE(backend->isHeldElsewhere(GlobalShortcuts::Key::p.rawValue, control)) << "Kestro's own key";
    EXPECT_FALSE(backend->isHeldElsewhere(GlobalShortcuts::Key::j.rawValue, control)) << "nobody's key";
    // The presses still arrive after the question waited on the bus.
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::p}, starts, 1));
}

TEST_F(KdeLayerTest, ADefaultAnotherComponentHoldsIsToldOnceAndShowsNoKey) {
    ASSERT_TRUE(service.start()) << service.log();
    service.holdForOther("other", "grab", Keys::controlP);
    startLayer();
    ASSERT_TRUE(runUntil([&] { return !lines.empty(); })) << service.log();
    runFor(300ms);
    ASSERT_EQ(lines.size(), 1u) << printedLines();
    EXPECT_NE(lines[0].find("\"Start Call\" no key"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"other\""), std::string::npos) << lines[0];
    EXPECT_FALSE(layer->shownShortcut("startSession"));
    EXPECT_EQ(layer->shownShortcut("endSession"), controlM);
}

TEST_F(KdeLayerTest, ARestartedServiceGetsTheActionsAgain) {
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered()) << service.log();
    service.stop();
    runFor(200ms);
    ASSERT_TRUE(service.start()) << service.log();
    ASSERT_TRUE(registered()) << service.log();
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::p}, starts, 1));
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::m}, ends, 1));
}

TEST_F(KdeLayerTest, AnApplicationThatEndsLetsItsKeysGo) {
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered()) << service.log();
    layer.reset();
    backend.reset();
    EXPECT_TRUE(support::eventually([&] { return !service.isActive("kestro"); }, 10s));
    EXPECT_EQ(service.keys(startSessionId), std::vector<std::int32_t>{Keys::controlP}) << "KDE keeps the binding";
}

TEST_F(KdeLayerTest, NamesNoLongerInUseLetTheirKeysGoAndComeBackWhenUsedAgain) {
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered()) << service.log();
    layer->removeAllHandlers();
    ASSERT_TRUE(runUntil([&] { return !service.isActive("kestro"); })) << service.log();
    EXPECT_EQ(layer->shownShortcut("startSession"), controlP) << "the stored shortcut, nothing bound";
    layer->onKeyDown(*startSession, [this] { ++starts; });
    ASSERT_TRUE(runUntil([&] { return service.isActive("kestro"); })) << service.log();
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::p}, starts, 1));
}

TEST_F(KdeLayerTest, OnlyTheServiceItselfIsBelieved) {
    ASSERT_TRUE(service.start()) << service.log();
    startLayer();
    ASSERT_TRUE(registered()) << service.log();
    service.forgePress("kestro", "startSession");
    runFor(300ms);
    EXPECT_EQ(starts, 0);
    ASSERT_TRUE(pressUntil({controlL, x11_test::Keysym::p}, starts, 1));
}

TEST_F(KdeLayerTest, WithoutTheServiceTheFallbackServesEverything) {
    startLayer();
    ASSERT_TRUE(runUntil([&] { return backend->availability() == Availability::fallback; }));
    EXPECT_EQ(fallbacksMade, 1);
    ASSERT_EQ(fallback->held().size(), 2u);
    EXPECT_EQ(layer->shownShortcut("startSession"), controlP) << "the stored shortcut, as the grabs hold it";
    fallback->press(GlobalShortcuts::Key::p.rawValue, GlobalShortcuts::CarbonModifier::control);
    runFor(50ms);
    EXPECT_EQ(starts, 1);
}

}  // namespace
}  // namespace kde_test
