#pragma once
// The real `kestro` binary in a Wayland session of the tests' making: XDG_SESSION_TYPE says
// wayland (the X display stands for XWayland), a portal serves global shortcuts on a private
// session bus (by default the system's front end with a desktop backend of the tests' own),
// beside a StatusNotifier watcher that shows the tray menu, a sound server whose output is a
// headset, and the loopback backend and realtime servers.

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "e2e-app/child_process.hpp"
#include "support/backend_environment.hpp"
#include "support/fake_backend.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"
#include "wayland/portal_backend_double.hpp"

namespace wayland_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class KestroOnWayland : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "no X display to run the app on (scripts/test.sh starts Xvfb)";
        for (const char* program : {"pulseaudio", "pactl", "dbus-daemon"}) {
            if (!e2e::onPath(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
        }
        if (std::system("{ ip route show default; ip -6 route show default; } 2>/dev/null | grep -q .") != 0) {
            GTEST_SKIP() << "the machine has no default route, and the app refuses calls without one";
        }
        for (const char* name : {"config", "state", "home", "runtime", "pulse"}) fs::create_directories(root / name);
        ::chmod((root / "runtime").c_str(), 0700);
        ASSERT_TRUE(bus.started()) << bus.log();
        startPortal();
        if (IsSkipped() || HasFatalFailure()) return;
        watcher.emplace(std::vector<std::string>{KESTRO_TRAY_HOST_PATH, "--watcher"},
                        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                                                           {"QT_QPA_PLATFORM", "offscreen"}},
                        root / "watcher.log");
        ASSERT_TRUE(support::eventually([&] { return watcherLog().find("ready") != std::string::npos; }, 10s))
            << watcherLog();
        startSoundServer();
        backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":2,"total":10})"));
        backend.setReply("/session", support::ScriptedReply::json(200, R"({"client_secret":"ek_app","used":3,"total":10})"));
        backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
    }

    // The desktop's side of the shortcuts: the system's front end with the tests' own backend.
    virtual void startPortal() {
        desktop.emplace(bus.address());
        ASSERT_TRUE(desktop->ready());
        frontEnd.emplace(bus.address(), root / "portal");
        if (!frontEnd->problem().empty()) GTEST_SKIP() << frontEnd->problem();
    }

    void TearDown() override {
        if (frontEnd && frontEnd->problem().empty()) ::kill(frontEnd->program().pid(), SIGCONT);
        if (!app) return;
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    }

    std::string pulseServer() const { return "unix:" + (root / "pulse" / "native").string(); }

    void startSoundServer() {
        const fs::path folder = root / "pulse";
        std::ofstream(folder / "default.pa")
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << (folder / "native").string() << "\n"
            << "load-module module-null-sink sink_name=kestro_headset "
               "sink_properties='device.bus=bluetooth device.form_factor=headset device.description=Headset'\n"
            << "load-module module-sine-source source_name=kestro_voice rate=48000 frequency=440\n"
            << "set-default-sink kestro_headset\nset-default-source kestro_voice\n";
        pulse.emplace(std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                               "--disallow-exit", "-F", (folder / "default.pa").string()},
                      std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", folder.string()},
                                                         {"HOME", folder.string()},
                                                         {"DBUS_SESSION_BUS_ADDRESS", bus.address()}},
                      root / "pulse.log");
        ASSERT_TRUE(support::eventually(
            [&] {
                return e2e::ChildProcess({"pactl", "info"}, {{"PULSE_SERVER", pulseServer()}}, root / "pactl.log")
                    .succeeds(5s);
            },
            15s))
            << fileText(root / "pulse.log");
    }

    // Starts the app with the session's environment and `extra` over it.
    void startApp(const std::map<std::string, std::string>& extra = {}) {
        auto environment = e2e::appSessionEnvironment(root, bus.address(), backend.baseUrl());
        environment["PULSE_SERVER"] = pulseServer();
        environment["KESTRO_REALTIME_URL"] = realtime.baseUrl();
        environment["XDG_SESSION_TYPE"] = "wayland";
        environment["WAYLAND_DISPLAY"] = "wayland-kestro-test";
        // Where the app makes the launcher entry the portal knows it by.
        environment["XDG_DATA_HOME"] = (root / "data").string();
        for (const auto& [key, value] : extra) environment[key] = value;
        e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, environment, root / "set-credential.log",
                                "app-credential\n");
        ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");
        app.emplace(std::vector<std::string>{KESTRO_APP_PATH}, environment, root / "kestro.log");
    }

    bool bothNamesBound() {
        return support::eventually(
            [&] {
                auto bindings = desktop->bindings();
                return !bindings.empty() && bindings.back().shortcuts.size() == 2;
            },
            30s);
    }

    // The tray menu as the watcher's host reads it over DBusMenu, dumped as text; "" while none.
    std::string menuText() {
        auto log = watcherLog();
        // The newest registration: an app started again registers anew.
        auto at = log.rfind("item ");
        if (at == std::string::npos) return {};
        std::string item = log.substr(at + 5, log.find('\n', at) - at - 5);
        // A registration by service name alone means the item's usual path.
        auto slash = item.find('/');
        std::string service = item.substr(0, slash);
        std::string path = slash == std::string::npos ? "/StatusNotifierItem" : item.substr(slash);
        std::string text;
        BusService reader(bus.address());
        reader.run([&](sd_bus* client) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            std::string menuPath;
            if (sd_bus_get_property(client, service.c_str(), path.c_str(), "org.kde.StatusNotifierItem", "Menu", &error,
                                    &reply, "o") >= 0) {
                const char* menu = nullptr;
                if (sd_bus_message_read(reply, "o", &menu) >= 0 && menu) menuPath = menu;
            }
            sd_bus_error_free(&error);
            reply = sd_bus_message_unref(reply);
            if (menuPath.empty()) return;
            if (sd_bus_call_method(client, service.c_str(), menuPath.c_str(), "com.canonical.dbusmenu", "GetLayout",
                                   &error, &reply, "iias", 0, -1, 0) >= 0) {
                char* buffer = nullptr;
                std::size_t size = 0;
                FILE* stream = open_memstream(&buffer, &size);
                sd_bus_message_dump(reply, stream, 0);
                std::fclose(stream);
                text.assign(buffer, size);
                std::free(buffer);
            }
            sd_bus_error_free(&error);
            sd_bus_message_unref(reply);
        });
        return text;
    }

    // The shortcuts the exported menu carries, each as its keys joined by "+" ("Control+P"): the
    // host draws them from the entries' "shortcut" property, not from their labels.
    std::vector<std::string> exportedShortcuts() {
        const std::string text = menuText();
        std::vector<std::string> found;
        const std::string property = "STRING \"shortcut\";";
        for (auto at = text.find(property); at != std::string::npos; at = text.find(property, at + 1)) {
            const auto end = std::min(text.find("DICT_ENTRY", at), text.find("STRUCT", at));
            std::string keys;
            const std::string key = "STRING \"";
            for (auto k = text.find(key, at + property.size()); k < end; k = text.find(key, k + 1)) {
                const auto first = k + key.size();
                keys += (keys.empty() ? "" : "+") + text.substr(first, text.find('"', first) - first);
            }
            if (!keys.empty()) found.push_back(keys);
        }
        return found;
    }
    bool exports(const std::string& keys) {
        auto all = exportedShortcuts();
        return std::find(all.begin(), all.end(), keys) != all.end();
    }

    std::string appLog() const { return "kestro printed:\n" + fileText(root / "kestro.log"); }
    std::string watcherLog() const { return fileText(root / "watcher.log"); }

    support::TemporaryFolder folder;
    const fs::path root = folder.path();
    PrivateBus bus{root / "bus"};
    support::FakeBackend backend;
    support::RealtimeServer realtime;
    // Declared last: ended first (the app before the services it uses).
    std::optional<PortalBackendDouble> desktop;
    std::optional<PortalFrontEnd> frontEnd;
    std::optional<e2e::ChildProcess> watcher;
    std::optional<e2e::ChildProcess> pulse;
    std::optional<e2e::ChildProcess> app;
};

}  // namespace wayland_test
