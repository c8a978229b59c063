// Capturing one event with the analytics client set up and its event queue already holding 0,
// 1000 or 8000 events, against the least work storing the same event needs: its JSON text written
// as a file of its own into the same folder (created exclusively, then renamed into place, as a
// write that survives a crash must be). Captures per second of both are printed with their ratio.

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/file_helpers.hpp"
#include "measure.hpp"

namespace {

namespace fs = std::filesystem;

// Flag requests are never made here.
class NoFlagRequests : public plover::PloverRemoteConfigRequests {
public:
    void flags(const std::string&, const std::optional<std::string>&, const plover::PloverApi::Groups&,
               const plover::Properties&, const std::optional<plover::PloverApi::GroupProperties>&,
               plover::PloverApi::ResponseCompletion) override {}
    void remoteConfig(plover::PloverApi::ResponseCompletion) override {}
};

// A private folder on a memory file system where there is one, so that the disk's speed is not
// what is measured.
fs::path privateFolder() {
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "kestro-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    return pattern;
}

// The least work: the event's text as a new file, renamed to its own name in the folder.
void writeLimit(const fs::path& folder, const std::string& text, unsigned number) {
    std::string name = (folder / ("limit-" + std::to_string(number))).string();
    std::string temporary = name + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    benchmark::DoNotOptimize(::write(fd, text.data(), text.size()));
    ::close(fd);
    ::rename(temporary.c_str(), name.c_str());
}

void CaptureAtQueueDepth(benchmark::State& state) {
    const auto depth = static_cast<std::size_t>(state.range(0));
    const fs::path folder = privateFolder();
    {
        boost::asio::io_context main;
        boost::asio::thread_pool background(1);
        platform::NotificationCenter center;
        auto config = std::make_shared<plover::PloverConfig>("bench-key", "http://127.0.0.1:9");
        config->flushAt = 1'000'000;
        config->maxQueueSize = 1'000'000;
        config->remoteConfig = false;
        config->preloadFeatureFlags = false;
        config->captureApplicationLifecycleEvents = false;
        config->captureScreenViews = false;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        plover::PloverSDKEnvironment environment;
        environment.main = main.get_executor();
        environment.background = background.get_executor();
        environment.http = std::make_shared<platform::HttpClient>();
        environment.storage.applicationIdentifier = "bench";
        environment.storage.dataHome = folder;
        environment.notifications = &center;
        environment.makeFlagRequests = [](auto) { return std::make_shared<NoFlagRequests>(); };
        environment.makeIntegrations = [](const plover::PloverConfig&) { return plover::PloverIntegrations{}; };
        auto sdk = plover::PloverSDK::with(config, std::move(environment));
        const plover::Properties properties{{"button", plover::Value("record")}, {"duration_ms", plover::Value(1234)}};

        // The queue already holds `depth` events.
        for (std::size_t i = 0; i < depth; ++i) sdk->capture("Filler", properties);
        // The limit writes the text of the same event, into the same folder.
        auto queueFolder = sdk->storage()->url(plover::PloverStorage::StorageKey::queue).value();
        std::string text;
        sdk->capture("Clicked", properties);
        for (auto& entry : fs::directory_iterator(queueFolder)) {
            std::error_code error;
            text = plover::readFileAtMost(entry.path(), 1 << 20, error).value_or("");
            break;
        }
        if (text.empty()) text = R"({"event":"Clicked"})";

        double figure = 0;
        double limit = 0;
        unsigned number = 0;
        for (auto _ : state) {
            const double piece = bench::measuredOnThisThread("figure", [&] { sdk->capture("Clicked", properties); });
            state.SetIterationTime(piece);
            figure += piece;
            limit += bench::measuredOnThisThread("limit", [&] { writeLimit(queueFolder, text, number++); });
        }
        const double captures = double(state.iterations());
        state.counters["depth_at_start"] = double(depth);
        state.counters["captures_per_s"] = figure > 0 ? captures / figure : 0;
        state.counters["limit_writes_per_s"] = limit > 0 ? captures / limit : 0;
        bench::report(state, figure, limit, captures, 4.0);
        sdk->close();
    }
    fs::remove_all(folder);
}
BENCHMARK(CaptureAtQueueDepth)->Arg(0)->Arg(1000)->Arg(8000)->Iterations(1000)->UseManualTime();

}  // namespace
