#pragma once
// The sound server a benchmark plays on, and Debian's own PulseAudio clients beside it.
//
// SoundServer: the server PULSE_SERVER names (scripts/test-services.sh exports its private one),
// or else a private `pulseaudio -n` started here with the test suite's set-up (a null sink, a
// 48 kHz sine source), stopped with the object. `reason()` tells why there is none.
//
// Peer: a child process (parec, pacat) whose CPU time and voluntary context switches are read
// from the kernel's account of it once it has ended (wait4).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

// Runs a command line through the shell; true when it exits with 0.
inline bool succeeds(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class Peer {
public:
    // Starts `argv` with standard input from `input` and standard output to `output` (files).
    Peer(const std::vector<std::string>& argv, const std::string& input, const std::string& output) {
        name_ = argv.at(0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Peer() {
        if (pid_ > 0) finish(SIGKILL);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool started() const { return pid_ > 0; }

    // Sends `signal` (0: none, waits for the child to end by itself), waits for the end and
    // returns false when the child failed (it exited with an error, or a signal other than the
    // one sent ended it).
    bool finish(int signal = 0) {
        if (pid_ <= 0) return false;
        if (signal != 0) ::kill(pid_, signal);
        int status = 0;
        rusage usage{};
        while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        voluntarySwitches = std::uint64_t(usage.ru_nvcsw);
        const bool ok = WIFEXITED(status) ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status) && WTERMSIG(status) == signal;
        if (!ok) {
            std::fprintf(stderr, "%s ended %s %d\n", name_.c_str(), WIFEXITED(status) ? "with exit status" : "by signal",
                         WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        }
        return ok;
    }

    double cpuSeconds = 0;
    std::uint64_t voluntarySwitches = 0;

private:
    std::string name_;
    pid_t pid_ = -1;
};

class SoundServer {
public:
    SoundServer() {
        if (const char* server = std::getenv("PULSE_SERVER"); server && *server) {
            if (succeeds("pactl info")) return;
            reason_ = std::string("the sound server PULSE_SERVER names (") + server + ") does not answer";
            return;
        }
        if (!succeeds("command -v pulseaudio") || !succeeds("command -v pactl")) {
            reason_ = "no PULSE_SERVER and no pulseaudio to start one (install pulseaudio and pulseaudio-utils)";
            return;
        }
        char pattern[] = "/tmp/kestro-bench-pulse-XXXXXX";
        if (!::mkdtemp(pattern)) {
            reason_ = "no temporary folder for a private sound server";
            return;
        }
        dir_ = pattern;
        namespace fs = std::filesystem;
        fs::create_directories(dir_ / "runtime");
        fs::create_directories(dir_ / "state");
        std::ofstream(dir_ / "default.pa")
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << (dir_ / "native").string() << "\n"
            << "load-module module-null-sink sink_name=kestro_null sink_properties=device.description=KestroNull\n"
            << "load-module module-sine-source source_name=kestro_sine rate=48000 frequency=440\n"
            << "set-default-sink kestro_null\nset-default-source kestro_sine\n";
        const std::string command = "cd " + dir_.string() + " && XDG_RUNTIME_DIR=" + (dir_ / "runtime").string() +
                                    " HOME=" + (dir_ / "state").string() +
                                    " exec pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit -F default.pa 2>&1";
        daemon_ = std::make_unique<Peer>(std::vector<std::string>{"sh", "-c", command}, "/dev/null",
                                         (dir_ / "pulse.log").string());
        ::setenv("PULSE_SERVER", ("unix:" + (dir_ / "native").string()).c_str(), 1);
        for (int i = 0; i < 100; ++i) {
            if (succeeds("pactl info")) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        reason_ = "the private pulseaudio did not start (see " + (dir_ / "pulse.log").string() + ")";
        daemon_.reset();
        ::unsetenv("PULSE_SERVER");
    }
    ~SoundServer() {
        if (!daemon_) return;
        daemon_->finish(SIGTERM);
        ::unsetenv("PULSE_SERVER");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool available() const { return reason_.empty(); }
    const std::string& reason() const { return reason_; }

private:
    std::filesystem::path dir_;
    std::unique_ptr<Peer> daemon_;
    std::string reason_;
};

}  // namespace bench
