#include "analytics/sdk/plover_sdk.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "analytics/network/plover_api.hpp"
#include "analytics/queue/plover_file_backed_queue.hpp"
#include "analytics/session/plover_session_manager.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/sanitizer.hpp"

namespace plover {

namespace asio = boost::asio;
using Key = PloverStorage::StorageKey;

namespace {

// The API keys of the instances that are set up and not closed.
struct Registry {
    std::mutex lock;
    std::set<std::string> apiKeys;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

// The client's own threads, for applications that hand over no executors: one thread plays the
// main thread, two more carry uploads and flag answers. They are stopped and joined at exit.
struct ProcessThreads {
    // Made before the threads that post to it, so that at exit it is destroyed after they are joined.
    platform::NotificationCenter& notifications = platform::NotificationCenter::defaultCenter();
    asio::io_context main;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(main);
    std::thread mainThread{[this] { main.run(); }};
    asio::thread_pool background{2};
    // Owned here whoever else holds it; it goes only once the threads above are joined, as their
    // work (an upload a queue has just taken, a flag request) starts requests on it.
    std::unique_ptr<platform::HttpClient> client = std::make_unique<platform::HttpClient>();
    std::shared_ptr<platform::HttpClient> http{client.get(), [](platform::HttpClient*) {}};

    ~ProcessThreads() {
        // No new work starts: what a thread runs now finishes, what is queued is never run (a
        // batch not yet taken stays on disk for the next start).
        work.reset();
        main.stop();
        background.stop();
        if (mainThread.joinable()) mainThread.join();
        background.join();
        // Completes what is still pending with a shut-down error on the client's own worker, then
        // joins it: an upload cut short keeps its batch on disk. What those completions post to the
        // stopped threads above is never run.
        client.reset();
    }
};

ProcessThreads& processThreads() {
    // What an upload or flag completion may still reach while the threads stop at exit is made
    // first, so that it is destroyed after them.
    registry();
    PloverSessionManager::shared();
    static ProcessThreads threads;
    return threads;
}

}  // namespace

PloverSDKEnvironment PloverSDKEnvironment::process() {
    auto& threads = processThreads();
    PloverSDKEnvironment environment;
    environment.main = threads.main.get_executor();
    environment.background = threads.background.get_executor();
    environment.http = threads.http;
    return environment;
}

PloverSDK::PloverSDK(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment)
    : config_(std::move(config)), environment_(std::move(environment)) {
    if (!config_) config_ = std::make_shared<PloverConfig>("");
}

PloverSDK::~PloverSDK() {
    // An instance dropped while set up gives its key back, or no instance could ever use it again.
    if (enabled_.exchange(false)) {
        // Its queues stop first: another instance may take the key, and the same queue files, at once.
        for (auto& queue : {queue_, replayQueue_}) {
            if (queue) queue->close();
        }
        std::lock_guard lock(registry().lock);
        registry().apiKeys.erase(config_->apiKey());
    }
    stopReachability();
    uninstallIntegrations();
}

std::shared_ptr<PloverSDK> PloverSDK::create(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment) {
    return std::shared_ptr<PloverSDK>(new PloverSDK(std::move(config), std::move(environment)));
}

std::shared_ptr<PloverSDK> PloverSDK::shared() {
    static const std::shared_ptr<PloverSDK> instance = create(std::make_shared<PloverConfig>(""));
    return instance;
}

std::shared_ptr<PloverSDK> PloverSDK::with(std::shared_ptr<PloverConfig> config) {
    return with(std::move(config), PloverSDKEnvironment::process());
}

std::shared_ptr<PloverSDK> PloverSDK::with(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment) {
    auto sdk = create(config, std::move(environment));
    sdk->setup(std::move(config));
    return sdk;
}

// ---- Fields ----

std::shared_ptr<PloverConfig> PloverSDK::config() const {
    std::lock_guard lock(fieldsLock_);
    return config_;
}
std::shared_ptr<PloverQueue> PloverSDK::queue() const {
    std::lock_guard lock(fieldsLock_);
    return queue_;
}
std::shared_ptr<PloverQueue> PloverSDK::replayQueue() const {
    std::lock_guard lock(fieldsLock_);
    return replayQueue_;
}
std::shared_ptr<PloverStorage> PloverSDK::storage() const {
    std::lock_guard lock(fieldsLock_);
    return storage_;
}
std::shared_ptr<Reachability> PloverSDK::reachability() const {
    std::lock_guard lock(fieldsLock_);
    return reachability_;
}
std::shared_ptr<PloverRemoteConfig> PloverSDK::remoteConfig() const {
    std::lock_guard lock(fieldsLock_);
    return remoteConfig_;
}
std::shared_ptr<PloverContext> PloverSDK::context() const {
    std::lock_guard lock(fieldsLock_);
    return context_;
}
std::shared_ptr<PloverStorageManager> PloverSDK::storageManager() const {
    std::lock_guard lock(fieldsLock_);
    return storageManager_;
}
PloverIntegrations PloverSDK::installedIntegrations() const {
    std::lock_guard lock(integrationsLock_);
    return installedIntegrations_;
}

// ---- Gates ----

bool PloverSDK::passesSetupGate() const {
    if (enabled_.load()) return true;
    ploverLog(notSetUpMessage);
    return false;
}

bool PloverSDK::passesOptOutGate() const {
    if (!config()->optOut.load()) return true;
    ploverLog(optOutMessage);
    return false;
}

// ---- Setup and teardown ----

void PloverSDK::setup(std::shared_ptr<PloverConfig> config) {
    bool started = false;
    {
        std::lock_guard lock(setupLock_);
        started = setupLocked(std::move(config));
    }
    if (started) announceSetup();
}

void PloverSDK::setApplication(ApplicationInfo application) {
    std::lock_guard lock(fieldsLock_);
    environment_.application = std::move(application);
}

bool PloverSDK::setupLocked(std::shared_ptr<PloverConfig> config) {
    if (!config) config = std::make_shared<PloverConfig>("");
    setDebugLogging(config->debug);
    if (enabled_.load()) {
        ploverLog("[Plover] Setup called despite already being setup!");
        return false;
    }
    // A host no request can be made to would keep every event on disk for ever.
    if (config->hostProblem()) {
        ploverWarn("[Plover] Setup refused: " + *config->hostProblem() + ".");
        return false;
    }
    // Two live instances of one key would upload and delete the same queue files: the second is
    // refused until the first is closed.
    {
        std::lock_guard lock(registry().lock);
        if (!registry().apiKeys.insert(config->apiKey()).second) {
            ploverLog("[Plover] API Key: " + config->apiKey() + " already has a Plover instance.");
            return false;
        }
    }

    PloverSDKEnvironment environment;
    {
        std::lock_guard lock(fieldsLock_);
        environment = environment_;
        config_ = config;
    }
    // What an environment leaves out comes from the process's own.
    if (!environment.main || !environment.background || !environment.http) {
        auto fallback = PloverSDKEnvironment::process();
        if (!environment.main) environment.main = fallback.main;
        if (!environment.background) environment.background = fallback.background;
        if (!environment.http) environment.http = fallback.http;
    }
    if (!environment.notifications) environment.notifications = &platform::NotificationCenter::defaultCenter();
    enabled_.store(true);

    auto storage = std::make_shared<PloverStorage>(*config, environment.storage);
    auto api = std::make_shared<const PloverApi>(config, environment.http);
    if (!config->storageManager) {
        config->storageManager = std::make_shared<PloverStorageManager>(*config, environment.storage);
    }
    {
        std::lock_guard lock(fieldsLock_);
        storage_ = storage;
        storageManager_ = config->storageManager;
    }

    auto requests = environment.makeFlagRequests ? environment.makeFlagRequests(api)
                                                 : std::make_shared<PloverApiRemoteConfigRequests>(api);
    std::weak_ptr<PloverSDK> weak = weak_from_this();
    auto remoteConfig = PloverRemoteConfig::create(
        config, storage, std::move(requests), [weak] { return defaultPersonProperties(weak); },
        environment.background, environment.main, *environment.notifications);
    {
        std::lock_guard lock(fieldsLock_);
        remoteConfig_ = remoteConfig;
    }

    std::shared_ptr<Reachability> reachability;
    try {
        reachability = environment.makeReachability
                           ? environment.makeReachability(environment)
                           : Reachability::forHost(config->host().hostName(), environment.background,
                                                   environment.main);
    } catch (const std::exception&) {
        // Without network monitoring the queues send whenever asked.
    }
    auto context = std::make_shared<PloverContext>(reachability, environment.application);
    {
        std::lock_guard lock(fieldsLock_);
        if (reachability) reachability_ = reachability;
        reachability = reachability_;
        context_ = context;
    }

    {
        std::lock_guard lock(optOutLock_);
        if (auto stored = storage->getBool(Key::optOut)) config->optOut.store(*stored);
    }

    std::shared_ptr<PloverQueue> queue;
    std::shared_ptr<PloverQueue> replayQueue;
    auto queueFolder = storage->url(Key::queue);
    auto replayFolder = storage->url(Key::replayQeueue);
    if (queueFolder && replayFolder) {
        queue = PloverQueue::create(
            config, api, PloverApiEndpoint::batch, reachability,
            std::make_unique<PloverFileBackedQueue>(*queueFolder, storage->url(Key::oldQeueue)),
            environment.background, environment.main);
        replayQueue = PloverQueue::create(config, api, PloverApiEndpoint::snapshot, reachability,
                                          std::make_unique<PloverFileBackedQueue>(*replayFolder),
                                          environment.background, environment.main);
    } else {
        ploverLog("[Plover] API Key: " + config->apiKey() + " cannot name a storage folder; no event will be queued.");
    }
    {
        std::lock_guard lock(fieldsLock_);
        queue_ = queue;
        replayQueue_ = replayQueue;
    }
    for (auto& each : {queue, replayQueue}) {
        if (each) each->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    }

    PloverSessionManager::shared()->startSession();
    return true;
}

void PloverSDK::announceSetup() {
    // Installed with no lock held: installing may capture, and so run the application's
    // before-send functions, which may call back into this instance.
    syncIntegrations();
    boost::asio::any_io_executor main;
    platform::NotificationCenter* center = nullptr;
    {
        std::lock_guard lock(fieldsLock_);
        main = environment_.main;
        center = environment_.notifications;
    }
    if (!main) main = PloverSDKEnvironment::process().main;
    if (!center) center = &platform::NotificationCenter::defaultCenter();
    asio::post(main, [center] { center->post(std::string(didStartNotification)); });
}

void PloverSDK::close() {
    if (!passesSetupGate()) return;
    {
        std::lock_guard lock(setupLock_);
        // A close that raced another one finds the instance closed already.
        if (!passesSetupGate()) return;
        closeLocked();
    }
    // Debug logging is off by now, so the uninstall lines are not printed.
    syncIntegrations();
}

void PloverSDK::closeLocked() {
    enabled_.store(false);
    auto config = this->config();

    std::shared_ptr<PloverQueue> queue;
    std::shared_ptr<PloverQueue> replayQueue;
    {
        std::lock_guard lock(fieldsLock_);
        queue = std::exchange(queue_, nullptr);
        replayQueue = std::exchange(replayQueue_, nullptr);
    }
    for (auto& each : {queue, replayQueue}) {
        if (each) each->close();
    }
    // Given back once its queues have stopped: another instance may take the key, and the same
    // queue files, at once.
    {
        std::lock_guard lock(registry().lock);
        registry().apiKeys.erase(config->apiKey());
    }

    std::shared_ptr<PloverStorageManager> storageManager;
    {
        std::lock_guard lock(fieldsLock_);
        storageManager = std::exchange(storageManager_, nullptr);
    }
    if (storageManager) storageManager->reset(config->reuseAnonymousId, false);

    {
        std::lock_guard lock(fieldsLock_);
        config_ = std::make_shared<PloverConfig>("");
        remoteConfig_.reset();
        storage_.reset();
    }
    stopReachability();
    {
        std::lock_guard lock(flagCallReportedLock_);
        flagCallReported_.clear();
    }
    {
        std::lock_guard lock(fieldsLock_);
        context_.reset();
    }
    PloverSessionManager::shared()->endSession();
    setDebugLogging(false);
}

void PloverSDK::stopReachability() {
    std::shared_ptr<Reachability> reachability;
    {
        std::lock_guard lock(fieldsLock_);
        reachability = std::exchange(reachability_, nullptr);
    }
    if (reachability) reachability->endNotifier();
}

void PloverSDK::debug(bool enabled) {
    if (!passesSetupGate()) return;
    setDebugLogging(enabled);
}

Properties PloverSDK::defaultPersonProperties(const std::weak_ptr<PloverSDK>& weak) {
    auto sdk = weak.lock();
    if (!sdk) return {};
    if (!sdk->config()->setDefaultPersonProperties) return {};
    if (!sdk->passesSetupGate()) return {};
    auto context = sdk->context();
    return context ? context->defaultPersonProperties() : Properties{};
}

// ---- Integrations ----

void PloverSDK::installIntegrations() {
    if (!installedIntegrations().empty()) {
        ploverLog("[Plover] Integrations already installed. Call uninstallIntegrations() first.");
        return;
    }
    auto config = this->config();
    std::function<PloverIntegrations(const PloverConfig&)> make;
    ApplicationInfo application;
    {
        std::lock_guard lock(fieldsLock_);
        make = environment_.makeIntegrations;
        application = environment_.application;
    }
    auto integrations = make ? make(*config) : makeIntegrations(*config, application);
    auto self = shared_from_this();
    PloverIntegrations installed;
    for (auto& integration : integrations) {
        if (!integration) continue;
        try {
            integration->install(self);
        } catch (const std::exception& error) {
            ploverLog("[Plover] Integration " + integration->typeName() + " failed to install: " + error.what());
            continue;
        }
        installed.push_back(integration);
        ploverLog("[Plover] Integration " + integration->typeName() + " installed");
    }
    std::lock_guard lock(integrationsLock_);
    installedIntegrations_ = std::move(installed);
}

void PloverSDK::syncIntegrations() {
    {
        std::lock_guard lock(syncLock_);
        if (syncing_) {
            // Another pass is under way (on another thread, or further up this one's stack):
            // it goes round once more and sees the new state.
            syncAgain_ = true;
            return;
        }
        syncing_ = true;
    }
    for (;;) {
        bool wanted = enabled_.load() && !config()->optOut.load();
        bool installed = !installedIntegrations().empty();
        if (wanted && !installed) {
            installIntegrations();
        } else if (!wanted && installed) {
            uninstallIntegrations();
        }
        std::lock_guard lock(syncLock_);
        if (!syncAgain_) {
            syncing_ = false;
            return;
        }
        syncAgain_ = false;
    }
}

void PloverSDK::uninstallIntegrations() {
    PloverIntegrations installed;
    {
        std::lock_guard lock(integrationsLock_);
        installed = std::exchange(installedIntegrations_, {});
    }
    if (installed.empty()) return;
    // Empty while this instance is being destroyed.
    std::shared_ptr<PloverSDK> self = weak_from_this().lock();
    for (auto& integration : installed) {
        integration->uninstall(self);
        ploverLog("[Plover] Integration " + integration->typeName() + " uninstalled");
    }
}

}  // namespace plover
