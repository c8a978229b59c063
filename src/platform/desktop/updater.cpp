#include "platform/desktop/updater.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <vector>

#include "platform/desktop/system_logger.hpp"
#include "platform/desktop/url_opener.hpp"
#include "platform/json/json.hpp"
#include "platform/http/http_client.hpp"

namespace platform {
namespace asio = boost::asio;

namespace {

const Logger& updaterLogger() {
    static const Logger logger("app.kestro.Updater", "main");
    return logger;
}

std::optional<std::vector<unsigned long>> versionParts(const std::string& text) {
    std::vector<unsigned long> parts;
    std::size_t start = 0;
    while (true) {
        auto dot = text.find('.', start);
        auto part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        parts.push_back(std::stoul(part));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts;
}

// Takes its arguments by value so that the coroutine owns them.
asio::awaitable<std::string> fetchOverHttp(std::shared_ptr<HttpClient> client, std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    request.headers = {{"Accept", "application/json"}};
    request.timeout = std::chrono::seconds(30);
    request.followRedirects = true;
    HttpResponse response;
    try {
        response = co_await client->perform(std::move(request));
    } catch (const HttpError& error) {
        if (error.kind() != HttpError::Kind::replyTooLarge) throw;
        throw UpdateFeedError("The update feed's reply is too large");
    }
    if (response.status < 200 || response.status > 299) {
        throw UpdateFeedError("The update feed answered with status " + std::to_string(response.status));
    }
    co_return std::move(response.body);
}

}  // namespace

UpdateFeedEntry UpdateFeedEntry::decode(const std::string& json) {
    auto parsed = platform::json::read(json);
    if (!parsed || !parsed->is_object()) {
        throw UpdateFeedError("The update feed is not a JSON object");
    }
    const auto& reply = parsed->get_object();
    auto version = reply.find("version");
    auto url = reply.find("url");
    if (version == reply.end() || !version->value().is_string() || url == reply.end() || !url->value().is_string()) {
        throw UpdateFeedError("The update feed lacks a version or a url");
    }
    UpdateFeedEntry entry{std::string(version->value().get_string()), std::string(url->value().get_string())};
    if (!versionParts(entry.version)) {
        throw UpdateFeedError("The update feed names an invalid version");
    }
    auto page = Url::parse(entry.url);
    if (!page || (page->scheme() != "https" && page->scheme() != "http")) {
        throw UpdateFeedError("The update feed names no web page to download from");
    }
    return entry;
}

std::optional<int> compareVersions(const std::string& left, const std::string& right) {
    auto a = versionParts(left);
    auto b = versionParts(right);
    if (!a || !b) return std::nullopt;
    auto count = std::max(a->size(), b->size());
    a->resize(count, 0);
    b->resize(count, 0);
    if (*a < *b) return -1;
    if (*a > *b) return 1;
    return 0;
}

struct Updater::State : std::enable_shared_from_this<State> {
    asio::any_io_executor main;
    Options options;
    Fetch fetch;
    std::shared_ptr<UrlOpener> opener;
    std::shared_ptr<UpdaterUserDriver> driver;
    asio::steady_timer timer;

    Tracked<bool> canCheck{false};
    bool started = false;
    bool stopped = false;
    bool checking = false;
    bool automaticChecks = false;
    bool automaticDownloads = false;
    std::uint64_t scheduleGeneration = 0;

    State(asio::any_io_executor mainExecutor, asio::any_io_executor shared, Options opts, Fetch fetcher,
          std::shared_ptr<UrlOpener> urlOpener, std::shared_ptr<UpdaterUserDriver> userDriver)
        : main(std::move(mainExecutor)),
          options(std::move(opts)),
          fetch(std::move(fetcher)),
          opener(std::move(urlOpener)),
          driver(std::move(userDriver)),
          timer(std::move(shared)) {}

    bool able() const { return started && !stopped && options.feedUrl.has_value(); }

    void startCheck(bool userInitiated) {
        if (!able() || checking) return;
        checking = true;
        canCheck = false;
        asio::co_spawn(main, runCheck(shared_from_this(), userInitiated), asio::detached);
    }

    static asio::awaitable<void> runCheck(std::shared_ptr<State> self, bool userInitiated) {
        std::optional<UpdateFeedEntry> entry;
        std::string failure;
        try {
            entry = UpdateFeedEntry::decode(co_await self->fetch(*self->options.feedUrl));
        } catch (const std::exception& error) {
            failure = error.what();
        }
        self->checking = false;
        if (self->stopped) co_return;
        self->canCheck = true;

        if (!entry) {
            updaterLogger().error("Update check failed: " + failure);
            if (userInitiated) self->driver->showUpdaterError("Could not check for updates. Please try again later.");
            co_return;
        }
        if (compareVersions(entry->version, self->options.currentVersion).value_or(0) > 0) {
            std::weak_ptr<UrlOpener> opener = self->opener;
            self->driver->showUpdateFound(*entry, [opener, url = entry->url] {
                if (auto strong = opener.lock()) strong->openURLString(url);
            });
        } else if (userInitiated) {
            self->driver->showUpdateNotFound();
        }
    }

    void scheduleAutomaticChecks() {
        if (!able() || !automaticChecks) return;
        asio::co_spawn(main, runSchedule(shared_from_this(), ++scheduleGeneration), asio::detached);
    }

    static asio::awaitable<void> runSchedule(std::shared_ptr<State> self, std::uint64_t generation) {
        while (!self->stopped && self->automaticChecks && self->scheduleGeneration == generation) {
            self->startCheck(false);
            self->timer.expires_after(self->options.checkInterval);
            auto [error] = co_await self->timer.async_wait(asio::as_tuple(asio::use_awaitable));
            if (error) co_return;
        }
    }

    void stopSchedule() {
        ++scheduleGeneration;
        timer.cancel();
    }
};

Updater::Fetch Updater::httpFetch(std::shared_ptr<HttpClient> client) {
    return [client = std::move(client)](std::string url) { return fetchOverHttp(client, std::move(url)); };
}

Updater::Updater(asio::any_io_executor main, asio::any_io_executor shared, Options options, Fetch fetch,
                 std::shared_ptr<UrlOpener> opener, std::shared_ptr<UpdaterUserDriver> driver)
    : state_(std::make_shared<State>(std::move(main), std::move(shared), std::move(options), std::move(fetch),
                                     std::move(opener), std::move(driver))) {}

Updater::~Updater() {
    state_->stopped = true;
    state_->stopSchedule();
}

void Updater::start() {
    if (state_->started) return;
    state_->started = true;
    state_->canCheck = state_->able();
    state_->scheduleAutomaticChecks();
}

void Updater::checkForUpdates() {
    if (!canCheckForUpdates()) return;
    state_->startCheck(true);
}

bool Updater::canCheckForUpdates() const { return state_->canCheck.get(); }

Subscription Updater::observeCanCheckForUpdates(std::function<void(bool)> observer) {
    return state_->canCheck.observe(std::move(observer));
}

void Updater::setAutomaticallyChecksForUpdates(bool enabled) {
    if (state_->automaticChecks == enabled) return;
    state_->automaticChecks = enabled;
    if (enabled) {
        state_->scheduleAutomaticChecks();
    } else {
        state_->stopSchedule();
    }
}

bool Updater::automaticallyChecksForUpdates() const { return state_->automaticChecks; }

void Updater::setAutomaticallyDownloadsUpdates(bool enabled) { state_->automaticDownloads = enabled; }

bool Updater::automaticallyDownloadsUpdates() const { return state_->automaticDownloads; }

const std::string& Updater::currentVersion() const { return state_->options.currentVersion; }

}  // namespace platform
