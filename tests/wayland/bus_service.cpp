#include "wayland/bus_service.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>

extern char** environ;

namespace wayland_test {

std::map<std::string, std::string> readStringOptions(sd_bus_message* message, const OtherOption& other) {
    std::map<std::string, std::string> options;
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return options;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(message, "s", &key);
        const char* contents = nullptr;
        char type = 0;
        sd_bus_message_peek_type(message, &type, &contents);
        if (contents && std::string(contents) == "s") {
            const char* value = nullptr;
            sd_bus_message_read(message, "v", "s", &value);
            options[key] = value ? value : "";
        } else if (!(other && contents && other(key ? key : "", contents))) {
            sd_bus_message_skip(message, "v");
        }
        sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
    return options;
}

Program::Program(const std::vector<std::string>& command, const std::map<std::string, std::string>& environment,
                 const std::filesystem::path& log) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : environment) merged[key] = value;
    std::vector<std::string> pairs;
    for (const auto& [key, value] : merged) pairs.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& pair : pairs) envp.push_back(pair.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program() {
    if (pid_ > 0 && !reaped_) stop();
}

bool Program::running() {
    if (pid_ <= 0 || reaped_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

int Program::stop(int seconds) {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!reaped_ && std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
            if (!reaped_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            reaped_ = true;
            return -1;
        }
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

PrivateBus::PrivateBus(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_);
    auto socket = folder_ / "bus";
    address_ = "unix:path=" + socket.string();
    std::ofstream(folder_ / "bus.conf") << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                           "<busconfig><type>session</type><listen>"
                                        << address_
                                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                           "<allow own=\"*\"/></policy></busconfig>\n";
    daemon_ = std::make_unique<Program>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + (folder_ / "bus.conf").string()},
        std::map<std::string, std::string>{}, folder_ / "dbus.log");
    // The socket file appears when the daemon binds it, a moment before it listens: a client
    // connecting in between is refused. Started means a connection is taken.
    for (int i = 0; i < 200 && !started_; ++i) {
        started_ = acceptsConnections(socket);
        if (!started_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool PrivateBus::acceptsConnections(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    auto path = socket.string();
    if (path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

std::string PrivateBus::log() const { return fileText(folder_ / "dbus.log"); }

BusService::BusService(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return;
    }
    bus_ = bus;
    thread_ = std::thread([this] { loop(); });
}

BusService::~BusService() {
    if (!bus_) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    thread_.join();
    sd_bus_flush_close_unref(bus_);
}

void BusService::loop() {
    for (;;) {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
            work.swap(queue_);
        }
        for (auto& item : work) item();
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 5000);
    }
}

void BusService::run(const std::function<void(sd_bus*)>& work) {
    if (!bus_) return;
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::lock_guard lock(mutex_);
        queue_.push_back([&] {
            work(bus_);
            sd_bus_flush(bus_);
            done.set_value();
        });
    }
    finished.wait();
}

bool BusService::own(const std::string& name) {
    int result = -1;
    run([&](sd_bus* bus) { result = sd_bus_request_name(bus, name.c_str(), 0); });
    return result >= 0;
}

bool BusService::hasOwner(const std::string& name) {
    int owned = 0;
    run([&](sd_bus* bus) {
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name.c_str()) >= 0) {
            sd_bus_message_read(reply, "b", &owned);
        }
        sd_bus_message_unref(reply);
    });
    return owned != 0;
}

std::string BusService::uniqueName() {
    std::string name;
    run([&](sd_bus* bus) {
        const char* unique = nullptr;
        if (sd_bus_get_unique_name(bus, &unique) >= 0 && unique) name = unique;
    });
    return name;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace wayland_test
