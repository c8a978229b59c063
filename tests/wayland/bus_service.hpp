#pragma once
// Test-side D-Bus: a private bus daemon of its own (no activatable services, so nothing starts
// behind the test's back), and services on it with a thread of their own driving an sd-bus
// connection. Work for a service's bus runs on its thread.

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wayland_test {

// Called with the key and the value's signature of an entry whose value is not a string, the
// cursor on that variant; true when it has read the variant, false to have it skipped.
using OtherOption = std::function<bool(const std::string& key, const std::string& contents)>;

// Reads an a{sv} of a message, keeping its string values; `other` sees the rest.
std::map<std::string, std::string> readStringOptions(sd_bus_message* message, const OtherOption& other = {});

// A program run by a test with `environment` added to the test's own, output to `log`; sent
// SIGTERM (and reaped) when the object goes.
class Program {
public:
    Program(const std::vector<std::string>& command, const std::map<std::string, std::string>& environment,
            const std::filesystem::path& log);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    pid_t pid() const { return pid_; }
    bool running();
    // Sends SIGTERM and waits up to `seconds` for the end; the exit code (-1: killed or signalled).
    int stop(int seconds = 10);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& folder);
    bool started() const { return started_; }
    const std::string& address() const { return address_; }
    std::string log() const;

private:
    static bool acceptsConnections(const std::filesystem::path& socket);

    std::filesystem::path folder_;
    std::string address_;
    std::unique_ptr<Program> daemon_;
    bool started_ = false;
};

class BusService {
public:
    explicit BusService(const std::string& address);
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    bool connected() const { return bus_ != nullptr; }
    // Runs `work` on the service's thread and waits for it.
    void run(const std::function<void(sd_bus*)>& work);
    // Owns `name` on the bus; false when refused.
    bool own(const std::string& name);
    // Whether `name` has an owner on the bus.
    bool hasOwner(const std::string& name);
    // The service's unique name.
    std::string uniqueName();

private:
    void loop();
    sd_bus* bus_ = nullptr;
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

// Text of a file ("" when unreadable).
std::string fileText(const std::filesystem::path& path);

}  // namespace wayland_test
