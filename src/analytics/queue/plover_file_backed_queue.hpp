#pragma once
// Events waiting for upload, one file per event in one folder, so that they survive a restart.
// A file's name is the moment it was written (seconds since 1970 as a decimal number), and the
// queue's order is the numeric order of the names. Names are unique: two events written in the
// same instant get neighbouring numbers, never one file.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "analytics/util/dates.hpp"
#include "analytics/util/read_write_lock.hpp"

namespace plover {

class PloverFileBackedQueue {
public:
    struct Item {
        std::string name;
        std::string data;
    };
    using Clock = std::function<Date()>;

    // Creates the folder (0700), removes what killed writers left half written, moves in the events of the legacy single-file queue `oldQueue` when
    // given, and lists what earlier runs left. Names that are not decimal numbers are ignored.
    explicit PloverFileBackedQueue(std::filesystem::path queue,
                                   std::optional<std::filesystem::path> oldQueue = std::nullopt,
                                   Clock clock = [] { return std::chrono::system_clock::now(); });

    std::size_t depth() const;
    // Stores one event as a new file at the end of the queue. Failures are logged and returned: an
    // event larger than maximumFileSize is refused (file_too_large) and nothing is written.
    std::error_code add(const std::string& data);
    // The oldest readable events, at most `count`. A name whose file is gone or cannot be read is
    // forgotten (an unreadable file is deleted), with a log line.
    std::vector<Item> peek(std::size_t count);
    // Forgets exactly these names and deletes their files; names no longer queued are skipped.
    void pop(const std::vector<std::string>& names);
    // Forgets the name at `index` (0 is the oldest) and deletes its file; nothing when out of range.
    void deleteAt(std::size_t index);

    const std::filesystem::path& folder() const { return queue_; }

    // Files larger than this are not read.
    static constexpr std::size_t maximumFileSize = 32 * 1024 * 1024;

private:
    void setup(const std::optional<std::filesystem::path>& oldQueue);
    void migrateOldQueue(const std::filesystem::path& oldQueue);
    // A name for `seconds` that no file and no write in progress uses; reserved until released.
    std::string reserveName(double seconds);
    void releaseName(const std::string& name);

    std::filesystem::path queue_;
    Clock clock_;
    ReadWriteLock<std::vector<std::string>> items_;
    std::mutex reservedMutex_;
    std::set<std::string> reserved_;
    std::optional<double> lastSeconds_;
    std::atomic<unsigned> writes_{0};  // numbers the temporary files
};

// The shortest decimal text that reads back to `seconds`, always with a fractional part.
std::string queueFileName(double seconds);
// The value of a queue file's name; nothing for names that are not finite decimal numbers.
std::optional<double> queueFileValue(std::string_view name);

}  // namespace plover
