#include "support/sound_server.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace support {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool onPath(const std::string& program) {
    return std::system(("command -v '" + program + "' >/dev/null 2>&1").c_str()) == 0;
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One second of the tone: 440 whole periods, so that it loops without a seam.
void writeTone(const fs::path& path) {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 48000; ++i) {
        const float sample = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 48000.0));
        out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
}

}  // namespace

const char* soundServerName(SoundServerKind kind) {
    return kind == SoundServerKind::pulseaudio ? "PulseAudio" : "PipeWire";
}

std::string soundServerUnavailable(SoundServerKind kind) {
    std::vector<std::string> programs{"pactl", "dbus-daemon"};
    if (kind == SoundServerKind::pulseaudio) {
        programs.push_back("pulseaudio");
    } else {
        for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse", "pacat"}) programs.push_back(program);
    }
    for (const auto& program : programs) {
        if (!onPath(program)) return program + " is not installed (scripts/install-deps.sh installs it)";
    }
    return {};
}

SoundServer::SoundServer(SoundServerKind kind, fs::path folder, SoundDevices devices)
    : kind_(kind), folder_(std::move(folder)), devices_(std::move(devices)) {
    for (const char* name : {"runtime", "home"}) fs::create_directories(folder_ / name);
    ::chmod((folder_ / "runtime").c_str(), 0700);
}

SoundServer::~SoundServer() {
    end(feeder_, SIGKILL);
    end(server_, SIGTERM);
    for (auto it = session_.rbegin(); it != session_.rend(); ++it) end(*it, SIGTERM);
}

std::map<std::string, std::string> SoundServer::environment() const {
    const auto home = folder_ / "home";
    return {{"XDG_RUNTIME_DIR", (folder_ / "runtime").string()},
            {"PIPEWIRE_RUNTIME_DIR", (folder_ / "runtime").string()},
            {"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()},
            {"XDG_STATE_HOME", (home / ".state").string()},
            {"XDG_CACHE_HOME", (home / ".cache").string()},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder_ / "bus").string()},
            {"PULSE_SERVER", address()}};
}

std::string SoundServer::address() const {
    return kind_ == SoundServerKind::pulseaudio ? "unix:" + (folder_ / "native").string()
                                                : "unix:" + (folder_ / "runtime" / "pulse" / "native").string();
}

SoundServer::Process SoundServer::spawn(const std::vector<std::string>& command, const std::string& logName) {
    // Everything the child needs is made before the fork: the test process has threads.
    auto variables = environment();
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        if (!variables.count(text.substr(0, text.find('=')))) entries.push_back(text);
    }
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = command;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string logPath = (folder_ / (logName + ".log")).string();

    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in >= 0) ::dup2(in, 0);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid > 0) ::setpgid(pid, pid);
    return {pid, logName};
}

void SoundServer::end(Process& process, int signal) {
    if (process.pid <= 0) return;
    ::kill(-process.pid, signal);
    ::kill(process.pid, signal);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(process.pid, nullptr, WNOHANG) != 0) {
            ::kill(-process.pid, SIGKILL);  // what it left in its group (a feeder's cat)
            process.pid = -1;
            return;
        }
        std::this_thread::sleep_for(50ms);
    }
    ::kill(-process.pid, SIGKILL);
    ::waitpid(process.pid, nullptr, 0);
    process.pid = -1;
}

std::string SoundServer::pactl(const std::string& arguments, bool* ok) const {
    std::string command = "env PULSE_SERVER=" + shellQuoted(address()) + " pactl " + arguments + " 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        if (ok) *ok = false;
        return output;
    }
    char chunk[512];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
    const int status = ::pclose(pipe);
    if (ok) *ok = status == 0;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

std::string SoundServer::log() const {
    std::string text;
    for (const char* name : {"bus", "pipewire", "wireplumber", "server", "feeder"}) {
        const auto path = folder_ / (std::string(name) + ".log");
        if (fs::exists(path)) text += std::string("--- ") + name + "\n" + readFile(path);
    }
    return text;
}

std::string SoundServer::waitUntilServing() {
    for (int i = 0; i < 150; ++i) {
        bool ok = false;
        pactl("info", &ok);
        if (ok) return {};
        if (server_.pid > 0 && ::waitpid(server_.pid, nullptr, WNOHANG) != 0) {
            server_.pid = -1;
            return std::string(soundServerName(kind_)) + " ended at start-up\n" + log();
        }
        std::this_thread::sleep_for(100ms);
    }
    return std::string(soundServerName(kind_)) + " did not answer within 15 s\n" + log();
}

std::string SoundServer::start() {
    if (auto why = soundServerUnavailable(kind_); !why.empty()) return why;
    // A bus of its own: a server of the surrounding session holds its names on the session's bus,
    // and without one a daemon would autolaunch a bus that outlives the test.
    session_.push_back(spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                              "--address=unix:path=" + (folder_ / "bus").string()},
                             "bus"));
    for (int i = 0; i < 100 && !fs::exists(folder_ / "bus"); ++i) std::this_thread::sleep_for(50ms);
    if (!fs::exists(folder_ / "bus")) return "the private session bus did not start\n" + log();

    if (kind_ == SoundServerKind::pipewire) {
        session_.push_back(spawn({"pipewire"}, "pipewire"));
        for (int i = 0; i < 100 && !fs::exists(folder_ / "runtime" / "pipewire-0"); ++i)
            std::this_thread::sleep_for(50ms);
        if (!fs::exists(folder_ / "runtime" / "pipewire-0")) return "pipewire did not start\n" + log();
        session_.push_back(spawn({"wireplumber"}, "wireplumber"));
    }
    return bringBack();
}

void SoundServer::takeAway() {
    end(feeder_, SIGKILL);
    end(server_, SIGKILL);
}

std::string SoundServer::bringBack(bool withMicrophone) {
    if (kind_ == SoundServerKind::pulseaudio) {
        std::ofstream script(folder_ / "default.pa", std::ios::trunc);
        script << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << (folder_ / "native").string()
               << "\n"
               << "load-module module-null-sink sink_name=" << devices_.sink << " sink_properties='"
               << devices_.sinkProperties << "'\n"
               << "set-default-sink " << devices_.sink << "\n";
        if (withMicrophone) {
            script << "load-module module-sine-source source_name=" << devices_.source << " rate=48000 frequency=440\n"
                   << "set-default-source " << devices_.source << "\n";
        }
        script.close();
        server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-F",
                         (folder_ / "default.pa").string()},
                        "server");
    } else {
        server_ = spawn({"pipewire-pulse"}, "server");
    }
    if (auto why = waitUntilServing(); !why.empty()) return why;
    return kind_ == SoundServerKind::pipewire ? makeDevices(withMicrophone) : std::string();
}

std::string SoundServer::addMicrophone() {
    if (kind_ == SoundServerKind::pipewire) return makeDevices(true);
    for (const auto& command : {"load-module module-sine-source source_name=" + devices_.source +
                                    " rate=48000 frequency=440",
                                "set-default-source " + devices_.source}) {
        bool ok = false;
        auto output = pactl(command, &ok);
        if (!ok) return "pactl " + command + ": " + output;
    }
    return {};
}

std::string SoundServer::suspendSink(bool suspended) {
    bool ok = false;
    auto output = pactl("suspend-sink " + devices_.sink + (suspended ? " 1" : " 0"), &ok);
    return ok ? std::string() : "pactl suspend-sink: " + output;
}

// With the microphone, its tone source (on PipeWire a null sink fed by pacat, its monitor
// remapped); without, the sink alone, made only when it is not there yet.
std::string SoundServer::makeDevices(bool withMicrophone) {
    const std::string feed = devices_.source + "_feed";
    std::vector<std::string> commands;
    const bool sinkThere = pactl("list short sinks").find(devices_.sink + "\t") != std::string::npos;
    if (!sinkThere) {
        commands.push_back("load-module module-null-sink sink_name=" + devices_.sink + " sink_properties=" +
                           shellQuoted(devices_.sinkProperties));
    }
    if (withMicrophone) {
        commands.push_back("load-module module-null-sink sink_name=" + feed + " rate=48000 channels=1");
        commands.push_back("load-module module-remap-source source_name=" + devices_.source + " master=" + feed +
                           ".monitor rate=48000 channels=1");
    }
    if (!sinkThere) commands.push_back("set-default-sink " + devices_.sink);
    if (withMicrophone) commands.push_back("set-default-source " + devices_.source);
    for (const auto& command : commands) {
        bool ok = false;
        auto output = pactl(command, &ok);
        // A device just made is a default only once the server has it as a node: a moment later.
        for (int i = 0; !ok && command.rfind("set-default", 0) == 0 && i < 40; ++i) {
            std::this_thread::sleep_for(50ms);
            output = pactl(command, &ok);
        }
        if (!ok) return "pactl " + command + ": " + output;
    }
    if (!withMicrophone) return waitForDefaults("");
    const auto tone = folder_ / "tone.raw";
    if (!fs::exists(tone)) writeTone(tone);
    // The feeder stands in for a microphone: only its tone counts, not when it arrives, so the
    // server holds half a second of it and a feeder kept waiting on a busy machine leaves no gap.
    feeder_ = spawn({"sh", "-c",
                     "while :; do cat " + shellQuoted(tone.string()) +
                         " || exit; done | pacat --raw --format=float32le --rate=48000 --channels=1 "
                         "--latency-msec=500 --device=" + feed},
                    "feeder");
    return waitForDefaults(devices_.source);
}

// The session manager applies the defaults a moment later. An empty `source` waits for the sink
// alone.
std::string SoundServer::waitForDefaults(const std::string& source) {
    for (int i = 0; i < 100; ++i) {
        auto info = pactl("info");
        if ((source.empty() || info.find("Default Source: " + source + "\n") != std::string::npos) &&
            info.find("Default Sink: " + devices_.sink + "\n") != std::string::npos)
            return {};
        std::this_thread::sleep_for(50ms);
    }
    return "the default devices did not take\n" + pactl("info");
}

}  // namespace support
