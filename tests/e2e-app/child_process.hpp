#pragma once
// A program started by a test, its output kept in a file; ended (SIGTERM, then SIGKILL) and reaped
// when the object goes, and killed if the test process dies.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

class ChildProcess {
public:
    // Runs `command` (looked up on PATH) with `environment` added to the test's own. Standard
    // input reads `input`, then end of file; standard output and error go to `log`.
    ChildProcess(const std::vector<std::string>& command,
                 const std::map<std::string, std::string>& environment, const std::filesystem::path& log,
                 const std::string& input = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The wait status once it has ended, waiting at most `limit`; none while it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    // Whether it ended with exit code 0 within `limit`.
    bool succeeds(std::chrono::milliseconds limit);
    // Sends it `signal` (SIGTERM, say) while it runs.
    void signal(int signal);
    // Sends it SIGTERM unless it has ended, then waits for it as waitForExit does.
    std::optional<int> terminate(std::chrono::milliseconds limit);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// How a process with that wait status ended: "exit code N", "killed by signal NAME", or "still
// running". The sanitizers end a process whose run they reported on with exit code 66
// (ThreadSanitizer) or 1 (the others).
std::string howItEnded(const std::optional<int>& status);

// The file's whole text ("" when it cannot be read).
std::string fileText(const std::filesystem::path& path);
// Whether `program` is found on PATH.
bool onPath(const std::string& program);

// The environment of the app in a session of its own: configuration, state, home and runtime
// folders under `root`, the session bus at `busAddress`, the backend at `backendUrl`, the X
// display, no update feed.
std::map<std::string, std::string> appSessionEnvironment(const std::filesystem::path& root,
                                                         const std::string& busAddress,
                                                         const std::string& backendUrl);

}  // namespace e2e
