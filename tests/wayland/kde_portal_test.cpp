// The portal backend against KDE Plasma 5.27's own portal backend and kglobalaccel5 behind
// Debian's xdg-desktop-portal 1.16 front end: KDE binds only what CreateSession lists (it ignores
// BindShortcuts' list before Plasma 6.1) and names the app's component after the session's token.
// Keys are pressed through XTest on the tests' X display, where kglobalaccel5 grabs them.

#include <QLocale>
#include <chrono>
#include <iostream>

#include "shortcuts/qt/desktop_trigger.hpp"
#include "wayland/kde_portal.hpp"
#include "wayland/portal_fixture.hpp"
#include "x11/x11_driver.hpp"

namespace wayland_test {
namespace {

using namespace std::chrono_literals;
using GlobalShortcuts::Name;

constexpr int qtCtrl = 0x04000000;
constexpr int qtAlt = 0x08000000;
constexpr int qtMeta = 0x10000000;

class KdePortalTest : public PortalLayerTest {
protected:
    void SetUp() override {
        if (!x11.unavailable().empty()) GTEST_SKIP() << x11.unavailable();
        ASSERT_TRUE(bus.started()) << bus.log();
        startKde("");
    }
    void startKde(const std::string& language) {
        kde = std::make_unique<KdePortal>(bus.address(), folder.path() / "kde", language);
        if (!kde->problem().empty()) GTEST_SKIP() << kde->problem();
    }
    void startApp() {
        startLayer();
        startSession = layer->name("startSession", controlP);
        endSession = layer->name("endSession", controlM);
        layer->onKeyDown(startSession, [this] {
            ++starts;
            pressedUntilStart = std::chrono::steady_clock::now() - pressedAt;
        });
        layer->onKeyDown(endSession, [this] { ++ends; });
    }
    void stopApp() {
        layer.reset();
        backend.reset();
        runFor(100ms);
    }
    bool bothBound() {
        return runUntil([&] { return backend->boundTriggers().size() == 2; }, 20s);
    }
    // Presses the keys through XTest and runs the loop until `condition`.
    template <class Condition>
    bool press(const std::vector<std::uint32_t>& keysyms, Condition condition) {
        pressedAt = std::chrono::steady_clock::now();
        x11.chord(keysyms);
        return runUntil(condition, 10s);
    }

    x11_test::Driver x11;
    std::unique_ptr<KdePortal> kde;
    Name startSession{"unused"};
    Name endSession{"unused"};
    int starts = 0;
    int ends = 0;
    std::chrono::steady_clock::time_point pressedAt;
    std::chrono::steady_clock::duration pressedUntilStart{};
};

TEST_F(KdePortalTest, TheFirstStartBindsThroughCreateSessionAndTheKeysWork) {
    startApp();
    ASSERT_TRUE(bothBound()) << kde->logs();
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Ctrl+P");
    EXPECT_EQ(layer->displayedShortcut("endSession"), "Ctrl+M");
    EXPECT_EQ(kde->components(), std::vector<std::string>{"kestro"}) << "named after the session's token";
    auto actions = kde->actions("kestro");
    std::sort(actions.begin(), actions.end());
    EXPECT_EQ(actions, (std::vector<std::string>{"endSession", "startSession"}));

    using namespace x11_test::Keysym;
    ASSERT_TRUE(press({controlL, p}, [&] { return starts == 1; })) << kde->logs();
    std::cout << "[ measured ] key press to the start action: "
              << std::chrono::duration_cast<std::chrono::microseconds>(pressedUntilStart).count() / 1000.0
              << " ms\n";
    ASSERT_TRUE(press({controlL, m}, [&] { return ends == 1; })) << kde->logs();
    runFor(200ms);
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(lines.empty()) << lines.front();
    EXPECT_TRUE(kde->opened().empty()) << "System Settings was opened: " << kde->opened().front();
}

// The second start finds its shortcuts held by the same component: nothing is asked, nothing
// opened, nothing printed, and the keys still work.
TEST_F(KdePortalTest, ASecondStartAsksNothingAndKeepsOneComponent) {
    startApp();
    ASSERT_TRUE(bothBound()) << kde->logs();
    stopApp();
    startApp();
    ASSERT_TRUE(bothBound()) << kde->logs();
    runFor(300ms);
    EXPECT_TRUE(lines.empty()) << lines.front();
    EXPECT_TRUE(kde->opened().empty()) << kde->opened().front();
    EXPECT_EQ(kde->components(), std::vector<std::string>{"kestro"});
    using namespace x11_test::Keysym;
    ASSERT_TRUE(press({controlL, p}, [&] { return starts == 1; })) << kde->logs();
}

// The user gives "Start Call" two keys in KDE's settings: the layer shows KDE's text, the menu's
// keys are the first alternative, and the new key starts a call; at the next start KDE's choice
// wins over the stored combination.
TEST_F(KdePortalTest, KeysChangedInKdesSettingsReachTheMenuAndWork) {
    startApp();
    ASSERT_TRUE(bothBound()) << kde->logs();
    ASSERT_TRUE(kde->setShortcut("kestro", "startSession", {qtCtrl | qtAlt | 'K', qtMeta | 'K'}));
    ASSERT_TRUE(runUntil([&] { return layer->displayedShortcut("startSession") == "Ctrl+Alt+K, Meta+K"; }))
        << layer->displayedShortcut("startSession");
    EXPECT_EQ(GlobalShortcuts::desktopTriggerKeys(layer->displayedShortcut("startSession"), {}), "Ctrl+Alt+K");
    using namespace x11_test::Keysym;
    ASSERT_TRUE(press({controlL, altL, k}, [&] { return starts == 1; })) << kde->logs();

    stopApp();
    startApp();
    ASSERT_TRUE(bothBound()) << kde->logs();
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Ctrl+Alt+K, Meta+K");
    EXPECT_TRUE(kde->opened().empty());
}

class GermanKdePortalTest : public KdePortalTest {
protected:
    void SetUp() override {
        if (!x11.unavailable().empty()) GTEST_SKIP() << x11.unavailable();
        ASSERT_TRUE(bus.started()) << bus.log();
        startKde("de_DE.UTF-8");
    }
};

// KDE writes its keys in German: the menu shows them as KDE writes them, and its keys read them
// with the German words of the installed translations.
TEST_F(GermanKdePortalTest, TheMenuShowsTheDesktopsGermanKeys) {
    startApp();
    ASSERT_TRUE(bothBound()) << kde->logs();
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Strg+P") << kde->logs();
    EXPECT_EQ(layer->displayedShortcut("endSession"), "Strg+M");
    auto words = GlobalShortcuts::DesktopKeyWords::forLanguage(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(GlobalShortcuts::desktopTriggerKeys("Strg+P", words), "Ctrl+P");
    EXPECT_EQ(GlobalShortcuts::desktopTriggerKeys(layer->displayedShortcut("endSession"), words), "Ctrl+M");
    EXPECT_EQ(GlobalShortcuts::desktopTriggerKeys(layer->displayedShortcut("endSession"), {}), "")
        << "without the German words it is shown, never misread";
    using namespace x11_test::Keysym;
    ASSERT_TRUE(press({controlL, p}, [&] { return starts == 1; })) << kde->logs();
    EXPECT_TRUE(lines.empty()) << lines.front();
}

}  // namespace
}  // namespace wayland_test
