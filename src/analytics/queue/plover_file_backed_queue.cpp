#include "analytics/queue/plover_file_backed_queue.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <system_error>

#include "analytics/util/debug_log.hpp"
#include "analytics/util/file_helpers.hpp"
#include "analytics/util/json.hpp"

namespace plover {

namespace fs = std::filesystem;

namespace {

std::string fileUrl(const fs::path& path) { return "file://" + path.string(); }

constexpr std::string_view temporaryMarker = ".tmp-";

// The name of the temporary file a writer uses for `file` before renaming it over it.
fs::path temporaryName(const fs::path& file, unsigned number) {
    fs::path temporary = file;
    temporary += std::string(temporaryMarker) + std::to_string(::getpid()) + "-" + std::to_string(number);
    return temporary;
}

// Replaces `file` by a temporary file renamed over it, so that a reader (or the next run after a
// crash) sees the whole event or none. The temporary is always a new file: whatever already sits
// at its name (a link planted there, say) is never opened, let alone written through.
std::error_code writeWhole(const fs::path& file, const std::string& data, std::atomic<unsigned>& counter) {
    fs::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = temporaryName(file, counter++);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return {errno, std::generic_category()};
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            std::error_code error(errno, std::generic_category());
            ::close(fd);
            ::unlink(temporary.c_str());
            return error;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), file.c_str()) != 0) {
        std::error_code error(errno, std::generic_category());
        ::unlink(temporary.c_str());
        return error;
    }
    return {};
}

// The process id of the writer of a temporary file; nothing for other names.
std::optional<pid_t> temporaryWriter(std::string_view name) {
    auto marker = name.find(temporaryMarker);
    if (marker == std::string_view::npos || !queueFileValue(name.substr(0, marker))) return std::nullopt;
    auto rest = name.substr(marker + temporaryMarker.size());
    long long pid = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    if (error != std::errc() || end == rest.data() || end == rest.data() + rest.size() || *end != '-' || pid <= 0) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

bool isRunning(pid_t pid) { return pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH; }

std::optional<std::string> readFile(const fs::path& file, std::error_code& error) {
    return readFileAtMost(file, PloverFileBackedQueue::maximumFileSize, error);
}

}  // namespace

std::string queueFileName(double seconds) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed);
    std::string name(text, error == std::errc() ? end : text);
    if (name.find('.') == std::string::npos) name += ".0";
    return name;
}

std::optional<double> queueFileValue(std::string_view name) {
    double value = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value, std::chars_format::fixed);
    if (name.empty() || error != std::errc() || end != name.data() + name.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

PloverFileBackedQueue::PloverFileBackedQueue(fs::path queue, std::optional<fs::path> oldQueue, Clock clock)
    : queue_(std::move(queue)), clock_(std::move(clock)) {
    setup(oldQueue);
}

void PloverFileBackedQueue::setup(const std::optional<fs::path>& oldQueue) {
    if (auto error = createPrivateDirectories(queue_)) ploverLog("Error trying to create caching folder " + error.message());
    if (oldQueue) migrateOldQueue(*oldQueue);

    std::error_code error;
    std::vector<std::pair<double, std::string>> found;
    std::vector<fs::path> abandoned;
    for (fs::directory_iterator it(queue_, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (auto value = queueFileValue(name)) {
            found.emplace_back(*value, std::move(name));
        } else if (auto writer = temporaryWriter(name); writer && !isRunning(*writer)) {
            // Half an event of a writer that was killed: nobody will ever finish or rename it.
            abandoned.push_back(it->path());
        }
    }
    for (auto& path : abandoned) ::unlink(path.c_str());
    if (error) {
        ploverLog("Failed to load files for queue " + error.message());
        return;
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    names.reserve(found.size());
    for (auto& entry : found) names.push_back(std::move(entry.second));
    items_.set(std::move(names));
}

void PloverFileBackedQueue::migrateOldQueue(const fs::path& oldQueue) {
    if (!somethingExistsAt(oldQueue)) return;
    std::error_code error;
    auto content = readFile(oldQueue, error);
    if (!content) {
        ploverLog("Failed to migrate queue " + error.message());
        return;  // kept until it can be read
    }
    boost::system::error_code parseError;
    json::value parsed = json::parse(*content, parseError);
    if (parseError) {
        // What cannot be parsed now never will be.
        ploverLog("Failed to migrate queue " + parseError.message());
        deleteSafely(oldQueue);
        return;
    }
    if (parsed.is_array()) {
        for (auto& element : parsed.get_array()) {
            if (!element.is_object()) continue;
            auto* stamp = element.get_object().if_contains("timestamp");
            std::string text = stamp && stamp->is_string() ? std::string(stamp->get_string()) : toISO8601String(clock_());
            double seconds = secondsSince1970(toISO8601Date(text).value_or(clock_()));
            std::string data = json::serialize(element);
            // A file of the same name and content was moved by an earlier, interrupted migration.
            std::string name = queueFileName(seconds);
            std::error_code readError;
            if (somethingExistsAt(queue_ / name) && readFile(queue_ / name, readError) == data) continue;
            name = reserveName(seconds);
            auto failed = writeWhole(queue_ / name, data, writes_);
            releaseName(name);
            if (failed) {
                ploverLog("Failed to migrate queue " + failed.message());
                return;  // the legacy list stays until every event is moved
            }
        }
    }
    deleteSafely(oldQueue);
}

std::string PloverFileBackedQueue::reserveName(double seconds) {
    std::lock_guard lock(reservedMutex_);
    // Events of one instant (or of a clock that stepped back a little) follow the one before, so
    // that they keep their order and never take the name of one just deleted.
    if (lastSeconds_ && seconds <= *lastSeconds_ && *lastSeconds_ - seconds < 1.0) {
        seconds = std::nextafter(*lastSeconds_, std::numeric_limits<double>::infinity());
    }
    while (true) {
        std::string name = queueFileName(seconds);
        if (!reserved_.contains(name) && !somethingExistsAt(queue_ / name)) {
            reserved_.insert(name);
            lastSeconds_ = seconds;
            return name;
        }
        seconds = std::nextafter(seconds, std::numeric_limits<double>::infinity());
    }
}

void PloverFileBackedQueue::releaseName(const std::string& name) {
    std::lock_guard lock(reservedMutex_);
    reserved_.erase(name);
}

std::size_t PloverFileBackedQueue::depth() const {
    return items_.read([](const std::vector<std::string>& names) { return names.size(); });
}

std::error_code PloverFileBackedQueue::add(const std::string& data) {
    // What could never be read back is not written.
    if (data.size() > maximumFileSize) {
        auto error = std::make_error_code(std::errc::file_too_large);
        ploverLog("Could not write file " + error.message());
        return error;
    }
    std::string name = reserveName(secondsSince1970(clock_()));
    auto error = writeWhole(queue_ / name, data, writes_);
    if (!error) items_.mutate([&](std::vector<std::string>& names) { names.push_back(name); });
    releaseName(name);
    if (error) ploverLog("Could not write file " + error.message());
    return error;
}

std::vector<PloverFileBackedQueue::Item> PloverFileBackedQueue::peek(std::size_t count) {
    std::vector<Item> items;
    if (count == 0) return items;
    std::vector<std::string> lost;
    for (auto& name : items_.get()) {
        fs::path file = queue_ / name;
        if (!somethingExistsAt(file)) {
            ploverLog("File " + fileUrl(file) + " does not exist");
            lost.push_back(name);
            continue;
        }
        std::error_code error;
        if (auto data = readFile(file, error)) {
            items.push_back({name, std::move(*data)});
        } else {
            ploverLog("File " + fileUrl(file) + " is corrupted " + error.message());
            lost.push_back(name);
        }
        if (items.size() >= count) break;
    }
    // Names without a readable file can never be sent.
    if (!lost.empty()) pop(lost);
    return items;
}

void PloverFileBackedQueue::pop(const std::vector<std::string>& names) {
    std::set<std::string> wanted(names.begin(), names.end());
    std::vector<std::string> removed;
    items_.mutate([&](std::vector<std::string>& queued) {
        auto kept = std::stable_partition(queued.begin(), queued.end(), [&](auto& name) { return !wanted.contains(name); });
        removed.assign(std::make_move_iterator(kept), std::make_move_iterator(queued.end()));
        queued.erase(kept, queued.end());
    });
    for (auto& name : removed) deleteSafely(queue_ / name);
}

void PloverFileBackedQueue::deleteAt(std::size_t index) {
    std::optional<std::string> removed;
    items_.mutate([&](std::vector<std::string>& queued) {
        if (index >= queued.size()) return;
        removed = std::move(queued[index]);
        queued.erase(queued.begin() + static_cast<std::ptrdiff_t>(index));
    });
    if (removed) deleteSafely(queue_ / *removed);
}

}  // namespace plover
