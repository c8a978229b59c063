#pragma once
// A program started by a test with an environment of its own, its output kept in a file; ended
// (SIGTERM, then SIGKILL) and reaped when the object goes, and killed if the test process dies.

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
    // `environment` entries replace or add to the test's own environment. Standard input reads
    // `input` (then end of file); standard output and error go to `log`.
    ChildProcess(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment,
                 const std::filesystem::path& log, const std::string& input = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once it ended by itself within `limit`; none while it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    // SIGTERM, and SIGKILL when it has not ended within `grace`; returns its wait status.
    int terminate(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Polls `done` every 20 ms until it holds or `limit` passes.
template <class Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds limit);

}  // namespace e2e

#include <thread>

template <class Predicate>
bool e2e::waitUntil(Predicate done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
