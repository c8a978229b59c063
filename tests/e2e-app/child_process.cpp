#include "e2e-app/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_runtime.hpp"

namespace e2e {

ChildProcess::ChildProcess(const std::vector<std::string>& command,
                           const std::map<std::string, std::string>& environment,
                           const std::filesystem::path& log, const std::string& input) {
    // env(1) sets the environment and finds the program on PATH.
    std::vector<std::string> arguments{"/usr/bin/env"};
    for (const auto& [name, value] : environment) arguments.push_back(name + "=" + value);
    arguments.insert(arguments.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int pipeFds[2];
    if (logFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot set up " + command.front() + ": " + std::strerror(errno));
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(pipeFds[0], STDIN_FILENO);
        ::dup2(logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(logFd);
    ::close(pipeFds[0]);
    if (pid_ > 0 && !input.empty()) {
        auto written = ::write(pipeFds[1], input.data(), input.size());
        (void)written;
    }
    ::close(pipeFds[1]);
    if (pid_ < 0)
        throw std::runtime_error("cannot start " + command.front() + ": " + std::strerror(forkError));
}

ChildProcess::~ChildProcess() {
    if (status_) return;
    ::kill(pid_, SIGTERM);
    if (!waitForExit(std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    support::eventually(
        [&] {
            int status = 0;
            if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
            return status_.has_value();
        },
        limit);
    return status_;
}

void ChildProcess::signal(int signal) {
    if (!status_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::terminate(std::chrono::milliseconds limit) {
    signal(SIGTERM);
    return waitForExit(limit);
}

std::string howItEnded(const std::optional<int>& status) {
    if (!status) return "still running";
    if (WIFSIGNALED(*status)) return std::string("killed by signal ") + ::sigabbrev_np(WTERMSIG(*status));
    return "exit code " + std::to_string(WEXITSTATUS(*status));
}

bool ChildProcess::succeeds(std::chrono::milliseconds limit) {
    auto status = waitForExit(limit);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool onPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::map<std::string, std::string> appSessionEnvironment(const std::filesystem::path& root,
                                                         const std::string& busAddress,
                                                         const std::string& backendUrl) {
    return {{"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_STATE_HOME", (root / "state").string()},
            {"XDG_RUNTIME_DIR", (root / "runtime").string()},
            {"HOME", (root / "home").string()},
            {"DBUS_SESSION_BUS_ADDRESS", busAddress},
            {"QT_QPA_PLATFORM", "xcb"},
            {"KESTRO_BACKEND_URL", backendUrl},
            {"KESTRO_UPDATE_FEED_URL", ""}};
}

}  // namespace e2e
