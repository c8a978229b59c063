#pragma once
// What a test of the real `kestro` binary sets up beside the desktop under test: a StatusNotifier
// watcher that shows the tray menu, a sound server whose output is a headset, and the backend's
// answers for an account with calls left.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "e2e-app/child_process.hpp"
#include "support/fake_backend.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"
#include "wayland/bus_service.hpp"

namespace wayland_test {

// Why the app cannot run here ("" where it can): the sound server's programs, and a default route
// (the app refuses calls without one).
inline std::string whyTheAppCannotRun() {
    for (const char* program : {"pulseaudio", "pactl"}) {
        if (!e2e::onPath(program)) {
            return std::string(program) + " is not installed (scripts/install-deps.sh installs it)";
        }
    }
    if (std::system("{ ip route show default; ip -6 route show default; } 2>/dev/null | grep -q .") != 0) {
        return "the machine has no default route, and the app refuses calls without one";
    }
    return {};
}

// The app's folders below `root` (its runtime folder private, as the session's is).
inline void makeAppFolders(const std::filesystem::path& root) {
    for (const char* name : {"config", "state", "home", "runtime", "pulse"}) {
        std::filesystem::create_directories(root / name);
    }
    ::chmod((root / "runtime").c_str(), 0700);
}

// Starts the tray host as a StatusNotifier watcher on the bus at `busAddress` (and as the
// notification server, its "notify <summary>|<body>" lines in the same log, with `notifications`;
// only that without `trayWatcher`), logging to `root`/watcher.log, and waits until it serves.
inline void startWatcher(std::optional<e2e::ChildProcess>& watcher, const std::filesystem::path& root,
                         const std::string& busAddress, bool notifications = false, bool trayWatcher = true) {
    using namespace std::chrono_literals;
    std::vector<std::string> command{KESTRO_TRAY_HOST_PATH};
    if (trayWatcher) command.emplace_back("--watcher");
    if (notifications) command.emplace_back("--notifications");
    watcher.emplace(command,
                    std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", busAddress},
                                                       {"QT_QPA_PLATFORM", "offscreen"}},
                    root / "watcher.log");
    ASSERT_TRUE(support::eventually([&] { return fileText(root / "watcher.log").find("ready") != std::string::npos; },
                                    10s))
        << fileText(root / "watcher.log");
}

// The address of the sound server started by startHeadsetSoundServer.
inline std::string pulseServerIn(const std::filesystem::path& root) {
    return "unix:" + (root / "pulse" / "native").string();
}

// A PulseAudio server in `root`/pulse whose output is a Bluetooth headset and whose input a sine;
// waits until it answers.
inline void startHeadsetSoundServer(std::optional<e2e::ChildProcess>& pulse, const std::filesystem::path& root,
                                    const std::string& busAddress) {
    using namespace std::chrono_literals;
    const std::filesystem::path folder = root / "pulse";
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
                                                     {"DBUS_SESSION_BUS_ADDRESS", busAddress}},
                  root / "pulse.log");
    ASSERT_TRUE(support::eventually(
        [&] {
            return e2e::ChildProcess({"pactl", "info"}, {{"PULSE_SERVER", pulseServerIn(root)}}, root / "pactl.log")
                .succeeds(5s);
        },
        15s))
        << fileText(root / "pulse.log");
}

// The backend's answers for an account with calls left.
inline void answerForAnAccountWithCallsLeft(support::FakeBackend& backend) {
    backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":2,"total":10})"));
    backend.setReply("/session", support::ScriptedReply::json(200, R"({"client_secret":"ek_app","used":3,"total":10})"));
    backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
}

// The app's environment in the session: the private bus at `busAddress`, the sound server of
// startHeadsetSoundServer, and the loopback backend and realtime servers.
inline std::map<std::string, std::string> appEnvironment(const std::filesystem::path& root,
                                                         const std::string& busAddress,
                                                         const support::FakeBackend& backend,
                                                         const support::RealtimeServer& realtime) {
    auto environment = e2e::appSessionEnvironment(root, busAddress, backend.baseUrl());
    environment["PULSE_SERVER"] = pulseServerIn(root);
    environment["KESTRO_REALTIME_URL"] = realtime.baseUrl();
    return environment;
}

// Stores the app's credential as a user would, before its first start.
inline void storeAppCredential(const std::map<std::string, std::string>& environment,
                               const std::filesystem::path& root) {
    using namespace std::chrono_literals;
    e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, environment, root / "set-credential.log",
                            "app-credential\n");
    ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");
}

}  // namespace wayland_test
