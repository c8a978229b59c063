// The real `kestro` binary in a desktop session of its own making: a private session bus with or
// without a StatusNotifierWatcher and a notification server, an XEmbed tray (trayer) on the X
// display or none, a second start, and an installed copy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "e2e-app/child_process.hpp"
#include "e2e-app/desktop_session.hpp"
#include "e2e-app/x_desktop.hpp"
#include "support/backend_environment.hpp"
#include "support/fake_backend.hpp"
#include "support/test_runtime.hpp"
#include "x11/x11_driver.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using e2e::DesktopSession;
using e2e::fileText;
using e2e::occurrences;
using e2e::onPath;

const std::string noTray = "Kestro has no system tray";

// The usual race at login: the panel's StatusNotifierWatcher starts after the app. Until it does,
// the user is told (standard error and a desktop notification), once.
TEST_F(DesktopSession, WithoutATrayTheAppSaysSoOnceAndRegistersWithAWatcherThatStartsLater) {
    if (x.hasXEmbedTray()) GTEST_SKIP() << "the X display already has a system tray";
    startHost(notifications, "--notifications", root / "notifications.log");
    if (HasFatalFailure()) return;
    startApp();
    ASSERT_TRUE(appSays(noTray)) << appLog();
    ASSERT_TRUE(support::eventually(
        [&] { return fileText(root / "notifications.log").find("notify " + noTray + "|") != std::string::npos; }))
        << fileText(root / "notifications.log");

    startHost(watcher, "--watcher", root / "watcher.log");
    if (HasFatalFailure()) return;
    EXPECT_TRUE(support::eventually(
        [&] { return fileText(root / "watcher.log").find("item ") != std::string::npos; }, 20s))
        << "the item never registered\n"
        << fileText(root / "watcher.log") << "kestro printed:\n"
        << appLog();
    EXPECT_EQ(occurrences(appLog(), noTray), 1u) << appLog();
    EXPECT_EQ(occurrences(fileText(root / "notifications.log"), "notify "), 1u);
    EXPECT_FALSE(app->waitForExit(0ms)) << appLog();
}

// An XEmbed tray (trayer) that appears after the app embeds its icon.
TEST_F(DesktopSession, AnXEmbedTrayThatStartsLaterEmbedsTheIcon) {
    if (!onPath("trayer")) GTEST_SKIP() << "trayer is not installed (scripts/install-deps.sh installs it)";
    if (x.hasXEmbedTray()) GTEST_SKIP() << "the X display already has a system tray";
    startApp();
    ASSERT_TRUE(appSays(noTray)) << appLog();
    EXPECT_FALSE(x.embeddedWindowOf("kestro"));

    startTrayAndWaitForTheIcon();
}

// Qt's own action shortcuts do not fire in an open tray menu: Control+Q must still quit.
TEST_F(DesktopSession, ControlQInTheOpenMenuQuits) {
    if (x.hasXEmbedTray()) GTEST_SKIP() << "the X display already has a system tray";
    x11_test::Driver keys;
    if (auto why = keys.unavailable(); !why.empty()) GTEST_SKIP() << why;
    e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, appEnvironment(), root / "set-credential.log",
                            "app-credential\n");
    ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");
    startApp();
    ASSERT_TRUE(appSays(noTray)) << appLog();
    startTrayAndWaitForTheIcon();
    if (HasFatalFailure() || IsSkipped()) return;
    // Opening the menu asks for the usage counts anew. On a loaded machine the start-up request
    // may still be on its way, and the newer request replaces it: wait for one made after the
    // menu opened rather than for a count of two.
    const auto usageBefore = backend.requestsTo("/usage").size();
    ASSERT_TRUE(e2e::openTrayMenu(x, "kestro")) << appLog();
    ASSERT_TRUE(support::eventually([&] { return backend.requestsTo("/usage").size() > usageBefore; }, 20s))
        << backend.requestsTo("/usage").size() << " usage requests\n"
        << appLog();

    // The menu is on screen a moment before it has the keyboard, and a press in between goes to
    // no window; a tray that has just started may also have the icon shown anew, which closes the
    // menu. On a loaded machine the menu is opened again where it went, and the press made again.
    std::optional<int> status;
    for (int press = 0; press < 3 && !status; ++press) {
        if (!x.menuOf("kestro")) {
            ASSERT_TRUE(e2e::openTrayMenu(x, "kestro")) << appLog();
        }
        keys.chord({x11_test::Keysym::controlL, 0x71 /* q */});
        status = app->waitForExit(10s);
    }
    ASSERT_TRUE(status.has_value()) << "still running after Control+Q\n" << appLog();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << appLog();
}

// Start-up asks for the usage counts, but the streak counts only weeks in which the menu was
// shown; a second start finds the first running and leaves it alone.
TEST_F(DesktopSession, StartUpCountsNoStreakAndASecondStartSaysKestroIsAlreadyRunning) {
    e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, appEnvironment(), root / "set-credential.log",
                            "app-credential\n");
    ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");
    startHost(watcher, "--watcher", root / "watcher.log");
    if (HasFatalFailure()) return;
    startApp();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/usage").empty(); }, 30s)) << appLog();
    EXPECT_EQ(fileText(root / "config" / "kestro" / "defaults.json").find("Kestro_StreakCount"), std::string::npos);

    e2e::ChildProcess second({KESTRO_APP_PATH}, appEnvironment(), root / "second.log");
    auto status = second.waitForExit(20s);
    ASSERT_TRUE(status.has_value()) << "the second start keeps running\n" << fileText(root / "second.log");
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << fileText(root / "second.log");
    EXPECT_NE(fileText(root / "second.log").find("Kestro is already running"), std::string::npos)
        << fileText(root / "second.log");
    EXPECT_EQ(backend.requestsTo("/usage").size(), 1u) << "the second start asked the backend";
    EXPECT_FALSE(app->waitForExit(0ms)) << "the first instance ended\n" << appLog();
}

// `cmake --install --prefix`: the program, a launcher entry that desktop-file-validate accepts and
// that names the installed program, the icon in the hicolor theme and the README; the installed
// program's autostart entry starts the installed program.
TEST_F(DesktopSession, InstallingPutsALauncherIconsAndTheReadmeUnderThePrefixAndLoginStartsTheInstalledProgram) {
    if (!onPath("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate is not installed (scripts/install-deps.sh installs it)";
    const fs::path prefix = root / "home" / ".local";
    e2e::ChildProcess install({"cmake", "--install", KESTRO_BUILD_DIR, "--prefix", prefix.string()}, {},
                              root / "install.log");
    ASSERT_TRUE(install.succeeds(120s)) << fileText(root / "install.log");

    const fs::path program = prefix / "bin" / "kestro";
    const fs::path launcher = prefix / "share" / "applications" / "kestro.desktop";
    const fs::path icons = prefix / "share" / "icons" / "hicolor";
    EXPECT_EQ(::access(program.c_str(), X_OK), 0) << program;
    EXPECT_TRUE(fs::exists(prefix / "share" / "doc" / "kestro" / "README.md"));
    EXPECT_TRUE(fs::exists(icons / "scalable" / "apps" / "kestro.svg"));
    for (const char* size : {"16x16", "32x32", "48x48", "64x64", "128x128", "256x256"}) {
        EXPECT_TRUE(fs::exists(icons / size / "apps" / "kestro.png")) << size;
    }
    ASSERT_TRUE(fs::exists(launcher)) << fileText(root / "install.log");
    auto entry = fileText(launcher);
    for (const std::string line : {"Name=Kestro", "Icon=kestro", "Terminal=false", "Type=Application"}) {
        EXPECT_NE(entry.find(line + "\n"), std::string::npos) << line << " in\n" << entry;
    }
    EXPECT_NE(entry.find("\nExec=" + program.string() + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nCategories="), std::string::npos) << entry;
    // The version of the build, as `kestro --version` says it.
    EXPECT_NE(entry.find("\nX-Kestro-Version=" KESTRO_PROJECT_VERSION "\n"), std::string::npos) << entry;
    e2e::ChildProcess validateLauncher({"desktop-file-validate", launcher.string()}, {}, root / "validate-launcher.log");
    EXPECT_TRUE(validateLauncher.succeeds(30s)) << fileText(root / "validate-launcher.log");

    startHost(watcher, "--watcher", root / "watcher.log");
    if (HasFatalFailure()) return;
    startApp(program);
    const fs::path autostart = root / "config" / "autostart" / "kestro.desktop";
    ASSERT_TRUE(support::eventually([&] { return fs::exists(autostart); }, 30s)) << appLog();
    EXPECT_NE(fileText(autostart).find("\nExec=" + program.string() + " "), std::string::npos) << fileText(autostart);
    e2e::ChildProcess validateAutostart({"desktop-file-validate", autostart.string()}, {},
                                        root / "validate-autostart.log");
    EXPECT_TRUE(validateAutostart.succeeds(30s)) << fileText(root / "validate-autostart.log");
}

}  // namespace
