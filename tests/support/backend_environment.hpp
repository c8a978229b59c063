#pragma once
// Everything a backend exchange needs in a test: a private folder (user defaults, outbox), the
// fake backend, an HTTP client and a NetworkService pointed at the fake; plus running a coroutine
// to its end on an io_context.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>

#include "app/network_service.hpp"
#include "platform/defaults/user_defaults.hpp"
#include "platform/http/http_client.hpp"
#include "support/fake_backend.hpp"

namespace support {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct BackendEnvironment {
    TemporaryFolder folder;
    FakeBackend backend;
    platform::UserDefaults defaults{folder.path() / "config" / "kestro" / "defaults.json"};
    platform::HttpClient http;
    kestro::NetworkService network{http, defaults, backend.baseUrl()};

    // Stores the bearer credential the way `kestro --set-credential` does.
    void storeCredential(const std::string& credential = "test-credential");
    std::filesystem::path outboxFolder() const { return folder.path() / "state" / "kestro" / "outbox"; }
};

// Runs `task` on `io` until it and everything else queued there has finished; returns its result
// or rethrows its exception.
template <class T>
T runToEnd(boost::asio::io_context& io, boost::asio::awaitable<T> task) {
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(io, std::move(task), [&](std::exception_ptr error) {
            failure = error;
            result = true;
        });
    } else {
        boost::asio::co_spawn(io, std::move(task), [&](std::exception_ptr error, T value) {
            failure = error;
            if (!error) result = std::move(value);
        });
    }
    io.restart();
    io.run();
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace support
