#include "aiortc_peer.hpp"

#include <signal.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "support/test_runtime.hpp"

namespace webrtc_test {

namespace {

const char* const python = "/usr/bin/python3";

std::atomic<unsigned> instances{0};

}  // namespace

bool AiortcPeer::available() {
    static const bool found =
        access(python, X_OK) == 0 && std::system((std::string(python) + " -c 'import aiortc' 2>/dev/null").c_str()) == 0;
    return found;
}

AiortcPeer::AiortcPeer(std::chrono::seconds lifetime) {
    folder_ = std::filesystem::temp_directory_path() /
              ("kestro-aiortc-" + std::to_string(getpid()) + "-" + std::to_string(instances++));
    std::filesystem::create_directories(folder_);
    process_ = std::make_unique<e2e::ChildProcess>(
        std::vector<std::string>{python, KESTRO_AIORTC_ANSWERER, "--lifetime", std::to_string(lifetime.count())},
        std::map<std::string, std::string>{{"PYTHONUNBUFFERED", "1"}}, folder_ / "answerer.log");
    const std::regex listening("listening on ([0-9]+)");
    support::eventually(
        [&] {
            std::smatch match;
            const std::string text = log();
            if (std::regex_search(text, match, listening)) port_ = std::stoi(match[1]);
            return port_ != 0 || process_->waitForExit(std::chrono::milliseconds(0)).has_value();
        },
        std::chrono::seconds(20));
    if (port_ == 0) {
        std::string text = log();
        process_.reset();
        std::filesystem::remove_all(folder_);
        throw std::runtime_error("aiortc_answerer.py did not start: " + text);
    }
}

AiortcPeer::~AiortcPeer() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string AiortcPeer::offerUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/offer"; }

std::string AiortcPeer::log() const { return e2e::fileText(folder_ / "answerer.log"); }

std::pair<int, std::string> AiortcPeer::call(const std::string& method, const std::string& path,
                                             const std::string& body) {
    namespace asio = boost::asio;
    try {
        asio::io_context io;
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
        const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        asio::write(socket, asio::buffer(request));
        std::string reply;
        boost::system::error_code error;
        asio::read(socket, asio::dynamic_buffer(reply, 1 << 16), error);
        std::smatch match;
        if (!std::regex_search(reply, match, std::regex("^HTTP/1\\.1 ([0-9]+)"))) return {0, reply};
        auto bodyAt = reply.find("\r\n\r\n");
        return {std::stoi(match[1]), bodyAt == std::string::npos ? "" : reply.substr(bodyAt + 4)};
    } catch (const std::exception& error) {
        return {0, error.what()};
    }
}

bool AiortcPeer::send(const std::string& text) { return call("POST", "/send", text).first == 200; }
bool AiortcPeer::closeChannel() { return call("POST", "/close-channel").first == 200; }
bool AiortcPeer::closeConnection() { return call("POST", "/close-connection").first == 200; }
std::string AiortcPeer::state() { return call("GET", "/state").second; }

long AiortcPeer::audioFrames() {
    std::smatch match;
    const std::string text = state();
    return std::regex_search(text, match, std::regex(" audio=([0-9]+) ")) ? std::stol(match[1]) : -1;
}

void AiortcPeer::kill() {
    process_->signal(SIGKILL);
    process_->waitForExit(std::chrono::seconds(5));
}

}  // namespace webrtc_test
