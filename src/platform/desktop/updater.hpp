#pragma once
// A small software-update checker: it reads a feed ({"version": "...", "url": "..."}) and, when
// the feed names a newer version, tells the user, who may open the download page. Installing is
// left to the system's package manager.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/runtime/tracked.hpp"

namespace platform {

class HttpClient;
class UrlOpener;

// A feed reply that does not describe an update.
class UpdateFeedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct UpdateFeedEntry {
    std::string version;
    std::string url;

    // Decodes {"version": "1.2.3", "url": "https://..."}; throws UpdateFeedError.
    static UpdateFeedEntry decode(const std::string& json);
};

// Compares dotted decimal versions ("1.10" > "1.9", "1.2" == "1.2.0"); nothing for a text that
// is not one.
std::optional<int> compareVersions(const std::string& left, const std::string& right);

// What the user sees of a check.
class UpdaterUserDriver {
public:
    virtual ~UpdaterUserDriver() = default;
    // A newer version exists; `openDownload` opens its page (call it on the user's request).
    virtual void showUpdateFound(const UpdateFeedEntry& update, std::function<void()> openDownload) = 0;
    // Only after a check the user asked for.
    virtual void showUpdateNotFound() = 0;
    virtual void showUpdaterError(const std::string& text) = 0;
};

class Updater {
public:
    // Reads the feed at the URL and returns its body; throws on any failure.
    using Fetch = std::function<boost::asio::awaitable<std::string>(std::string url)>;

    // Reads the feed with a GET through `client` (redirects followed); a reply other than 2xx
    // is a failure.
    static Fetch httpFetch(std::shared_ptr<HttpClient> client);

    struct Options {
        std::optional<std::string> feedUrl;  // none: the updater can never check
        std::string currentVersion;
        std::chrono::steady_clock::duration checkInterval = std::chrono::hours(24);
    };

    // Lives on `main` (its state, the user driver and the URL opener are used there); its timer
    // runs on `shared`.
    Updater(boost::asio::any_io_executor main, boost::asio::any_io_executor shared, Options options,
            Fetch fetch, std::shared_ptr<UrlOpener> opener, std::shared_ptr<UpdaterUserDriver> driver);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Starts the updater: from now on it can check, and automatic checks run when switched on.
    void start();

    // A check the user asked for; does nothing unless canCheckForUpdates() is true.
    void checkForUpdates();
    // True once started with a feed configured, except while a check runs.
    bool canCheckForUpdates() const;
    // Tells `observer` each change of canCheckForUpdates(), on the main executor.
    [[nodiscard]] Subscription observeCanCheckForUpdates(std::function<void(bool)> observer);

    // Automatic checks run at once and then every check interval.
    void setAutomaticallyChecksForUpdates(bool enabled);
    bool automaticallyChecksForUpdates() const;
    // Only remembered: the package manager downloads and installs.
    void setAutomaticallyDownloadsUpdates(bool enabled);
    bool automaticallyDownloadsUpdates() const;

    const std::string& currentVersion() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
