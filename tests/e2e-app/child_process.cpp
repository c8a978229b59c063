#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace e2e {

ChildProcess::ChildProcess(std::vector<std::string> arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::filesystem::path& log, const std::string& input) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : environment) merged[key] = value;
    std::vector<std::string> envText;
    for (const auto& [key, value] : merged) envText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) throw std::runtime_error("cannot open " + log.string() + ": " + std::strerror(errno));
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(logFd);
        throw std::runtime_error("pipe failed");
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. The child goes with the test, even when the
        // test process is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(pipeFds[0], STDIN_FILENO);
        ::dup2(logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        static constexpr char failed[] = "exec failed\n";
        auto ignored = ::write(STDERR_FILENO, failed, sizeof failed - 1);
        (void)ignored;
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(logFd);
    ::close(pipeFds[0]);
    if (pid_ < 0) {
        ::close(pipeFds[1]);
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(forkError));
    }
    if (!input.empty()) {
        auto ignored = ::write(pipeFds[1], input.data(), input.size());
        (void)ignored;
    }
    ::close(pipeFds[1]);
}

ChildProcess::~ChildProcess() {
    if (!status_) terminate();
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    if (status_) return status_;
    waitUntil(
        [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
            return status_.has_value();
        },
        limit);
    return status_;
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (status_) return *status_;
    ::kill(pid_, SIGTERM);
    if (!waitForExit(grace)) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = status;
    }
    return *status_;
}

}  // namespace e2e
