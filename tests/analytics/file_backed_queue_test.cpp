#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

#include "analytics/queue/plover_file_backed_queue.hpp"
#include "analytics_fixtures.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using plover::PloverFileBackedQueue;
namespace fs = std::filesystem;

struct FileQueueFixture : ::testing::Test {
    support::TemporaryFolder folder;
    fs::path queueFolder = folder.path() / "plover.queueFolder";
    fs::path legacy = folder.path() / "plover.queue.plist";
    plover::Date now = plover::Date(1709622489123ms);

    std::unique_ptr<PloverFileBackedQueue> makeQueue(bool withLegacy = false) {
        return std::make_unique<PloverFileBackedQueue>(queueFolder, withLegacy ? std::optional(legacy) : std::nullopt,
                                                       [this] { return now; });
    }
    static std::vector<std::string> dataOf(const std::vector<PloverFileBackedQueue::Item>& items) {
        std::vector<std::string> data;
        for (auto& item : items) data.push_back(item.data);
        return data;
    }
    static std::vector<std::string> namesOf(const std::vector<PloverFileBackedQueue::Item>& items) {
        std::vector<std::string> names;
        for (auto& item : items) names.push_back(item.name);
        return names;
    }
    void write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
};

TEST_F(FileQueueFixture, NamesAreSecondsSince1970AndTheOrderIsTheirValue) {
    EXPECT_EQ(plover::queueFileName(1704067200.0), "1704067200.0");
    EXPECT_EQ(plover::queueFileName(1709622489.123), "1709622489.123");
    EXPECT_EQ(plover::queueFileValue("1709622489.123"), 1709622489.123);
    for (const char* stray : {"", " 1.5", "1.5 ", "abc", "1.5.tmp-1-2", "inf", "nan", ".DS_Store", "1e9"}) {
        EXPECT_FALSE(plover::queueFileValue(stray)) << stray;
    }

    write(queueFolder / "1000000000.25", "second");
    write(queueFolder / "999999999.5", "first");
    write(queueFolder / "notes.txt", "stray");
    write(queueFolder / "1000000001.0.tmp-5-1", "half written");
    LogCapture log;
    auto queue = makeQueue();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(queue->depth(), 2u);
    queue->add("third");
    EXPECT_EQ(dataOf(queue->peek(10)), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(queue->peek(10).back().name, "1709622489.123");
    EXPECT_TRUE(fs::exists(queueFolder / "notes.txt"));

    // A restart finds the same events in the same order.
    auto again = makeQueue();
    EXPECT_EQ(dataOf(again->peek(2)), (std::vector<std::string>{"first", "second"}));
}

TEST_F(FileQueueFixture, EventsOfTheSameInstantGetTheirOwnFilesInOrder) {
    auto queue = makeQueue();
    for (const char* data : {"a", "b", "c"}) queue->add(data);
    auto items = queue->peek(3);
    EXPECT_EQ(dataOf(items), (std::vector<std::string>{"a", "b", "c"}));
    auto itemNames = namesOf(items);
    std::set<std::string> names(itemNames.begin(), itemNames.end());
    EXPECT_EQ(names.size(), 3u);
    EXPECT_LT(*plover::queueFileValue(items[0].name), *plover::queueFileValue(items[1].name));
    EXPECT_EQ(dataOf(makeQueue()->peek(3)), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(FileQueueFixture, PeekForgetsMissingAndUnreadableFilesAndPopRemovesExactlyWhatWasSent) {
    auto queue = makeQueue();
    for (int i = 0; i < 5; ++i) {
        now += 1s;
        queue->add("e" + std::to_string(i));
    }
    auto names = namesOf(queue->peek(5));
    fs::remove(queueFolder / names[1]);
    fs::remove(queueFolder / names[2]);
    fs::create_directory(queueFolder / names[2]);  // cannot be read as a file

    LogCapture log;
    auto items = queue->peek(2);
    EXPECT_EQ(dataOf(items), (std::vector<std::string>{"e0", "e3"}));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[Plover] File file://" + (queueFolder / names[1]).string() + " does not exist");
    EXPECT_EQ(lines[1].rfind("[Plover] File file://" + (queueFolder / names[2]).string() + " is corrupted ", 0), 0u);
    EXPECT_FALSE(fs::exists(queueFolder / names[2]));
    EXPECT_EQ(queue->depth(), 3u);

    queue->pop(namesOf(items));
    EXPECT_EQ(dataOf(queue->peek(5)), std::vector<std::string>{"e4"});
    queue->pop({"1.0", "not queued"});
    EXPECT_EQ(queue->depth(), 1u);
}

TEST_F(FileQueueFixture, DroppingTheOldestDuringAnUploadNeitherLosesNorResendsEvents) {
    auto queue = makeQueue();
    for (const char* data : {"a", "b", "c"}) {
        now += 1s;
        queue->add(data);
    }
    auto inFlight = queue->peek(2);  // a, b
    queue->deleteAt(0);              // the queue was full: a goes
    now += 1s;
    queue->add("d");
    queue->pop(namesOf(inFlight));
    EXPECT_EQ(dataOf(queue->peek(10)), (std::vector<std::string>{"c", "d"}));

    queue->deleteAt(5);
    EXPECT_EQ(queue->depth(), 2u);
    auto empty = makeQueue();
    empty->pop(namesOf(empty->peek(10)));
    empty->deleteAt(0);
    EXPECT_EQ(empty->depth(), 0u);
}

TEST_F(FileQueueFixture, LegacyListMovesIntoFilesNamedByTheEventsTimes) {
    write(legacy, R"([{"event":"old","timestamp":"2024-01-01T00:00:00.000Z"},5,{"event":"undated"},
                     {"event":"seconds","timestamp":"2024-01-01T00:00:01Z"}])");
    LogCapture log;
    auto queue = makeQueue(true);
    EXPECT_FALSE(fs::exists(legacy));
    auto items = queue->peek(10);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].name, "1704067200.0");
    EXPECT_EQ(boost::json::parse(items[0].data), boost::json::parse(R"({"event":"old","timestamp":"2024-01-01T00:00:00.000Z"})"));
    EXPECT_EQ(items[1].name, "1704067201.0");
    EXPECT_EQ(items[2].name, "1709622489.123");
    EXPECT_EQ(boost::json::parse(items[2].data), boost::json::parse(R"({"event":"undated"})"));
    EXPECT_TRUE(log.lines().empty());

    // Moving again what an interrupted run had moved already makes no second copy.
    write(legacy, R"([{"event":"old","timestamp":"2024-01-01T00:00:00.000Z"},{"event":"new","timestamp":"2024-01-01T00:00:00.000Z"}])");
    auto rerun = makeQueue(true);
    auto rerunItems = rerun->peek(10);
    ASSERT_EQ(rerunItems.size(), 4u);
    EXPECT_EQ(boost::json::parse(rerunItems[1].data), boost::json::parse(R"({"event":"new","timestamp":"2024-01-01T00:00:00.000Z"})"));

    const std::pair<const char*, bool> others[] = {{R"({"event":"not a list"})", false}, {"[{", true}};
    for (auto& [content, logged] : others) {
        fs::remove_all(queueFolder);
        write(legacy, content);
        log.clear();
        auto other = makeQueue(true);
        EXPECT_FALSE(fs::exists(legacy)) << content;
        EXPECT_EQ(other->depth(), 0u);
        EXPECT_EQ(log.lines().size(), logged ? 1u : 0u) << content;
        if (logged) {
            EXPECT_EQ(log.lines()[0].rfind("[Plover] Failed to migrate queue ", 0), 0u);
        }
    }
}

TEST_F(FileQueueFixture, ManyRapidAddsFromSeveralThreadsLoseNothing) {
    auto queue = std::make_unique<PloverFileBackedQueue>(queueFolder);
    constexpr int threads = 4;
    constexpr int perThread = 2500;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) queue->add(std::to_string(t * perThread + i));
        });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(queue->depth(), static_cast<std::size_t>(threads * perThread));
    auto items = makeQueue()->peek(threads * perThread + 1);
    std::set<std::string> data;
    for (auto& item : items) data.insert(item.data);
    EXPECT_EQ(data.size(), static_cast<std::size_t>(threads * perThread));
}

// A process id that no process has any more.
pid_t deadProcess() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 0777;
}

TEST_F(FileQueueFixture, ALinkPlantedAtATemporaryNameIsNeverWrittenThroughAndTheFolderIsPrivate) {
    mode_t previous = ::umask(0);
    auto queue = makeQueue();
    ::umask(previous);
    EXPECT_EQ(modeOf(queueFolder), 0700u);

    // Another user's link at the name the next write's temporary file takes.
    fs::path victim = folder.path() / "victim";
    write(victim, "precious");
    fs::path planted = queueFolder / ("1709622489.123.tmp-" + std::to_string(::getpid()) + "-0");
    fs::create_symlink(victim, planted);

    EXPECT_FALSE(queue->add("event"));
    std::ifstream in(victim);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "precious");
    EXPECT_TRUE(fs::is_symlink(planted));
    auto items = queue->peek(1);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data, "event");
    EXPECT_FALSE(fs::is_symlink(queueFolder / items[0].name));

    // A folder an older run made with the umask's permissions is made private.
    fs::permissions(queueFolder, fs::perms::all);
    makeQueue();
    EXPECT_EQ(modeOf(queueFolder), 0700u);
}

TEST_F(FileQueueFixture, OpeningRemovesWhatKilledWritersLeftAndKeepsWhatLiveOnesWrite) {
    std::string dead = std::to_string(deadProcess());
    std::string alive = std::to_string(::getpid());
    write(queueFolder / "1000000001.0", "kept");
    write(queueFolder / ("1000000002.0.tmp-" + dead + "-3"), "half an event");
    write(queueFolder / ("1000000003.0.tmp-" + alive + "-0"), "being written");
    write(queueFolder / ("1000000004.0.tmp-1-9"), "being written by another process");
    write(queueFolder / ("notes.tmp-" + dead + "-1"), "not ours");

    auto queue = makeQueue();
    EXPECT_FALSE(fs::exists(queueFolder / ("1000000002.0.tmp-" + dead + "-3")));
    EXPECT_TRUE(fs::exists(queueFolder / ("1000000003.0.tmp-" + alive + "-0")));
    EXPECT_TRUE(fs::exists(queueFolder / "1000000004.0.tmp-1-9"));
    EXPECT_TRUE(fs::exists(queueFolder / ("notes.tmp-" + dead + "-1")));
    EXPECT_EQ(dataOf(queue->peek(10)), std::vector<std::string>{"kept"});
}

TEST_F(FileQueueFixture, AnEventThatCannotBeStoredIsReportedAndLeavesNothingBehind) {
    auto queue = makeQueue();
    std::string huge(PloverFileBackedQueue::maximumFileSize + 1, 'x');
    EXPECT_EQ(queue->add(huge), std::make_error_code(std::errc::file_too_large));
    EXPECT_EQ(queue->depth(), 0u);
    EXPECT_TRUE(fs::is_empty(queueFolder));

    // A file where the queue's folder should be.
    write(folder.path() / "blocked", "a file");
    PloverFileBackedQueue blocked(folder.path() / "blocked", std::nullopt, [this] { return now; });
    EXPECT_TRUE(blocked.add("event"));
    EXPECT_EQ(blocked.depth(), 0u);
}

}  // namespace
