#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include "analytics/storage/plover_storage.hpp"
#include "analytics_fixtures.hpp"

namespace {

using analytics_test::LogCapture;
using analytics_test::makeConfig;
using analytics_test::StorageFolders;
using plover::PloverStorage;
using Key = plover::PloverStorage::StorageKey;
using plover::Value;
namespace fs = std::filesystem;
namespace json = boost::json;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Every entry below `folder`, as paths relative to it.
std::set<std::string> entriesBelow(const fs::path& folder) {
    std::set<std::string> entries;
    if (!fs::exists(folder)) return entries;
    for (auto& entry : fs::recursive_directory_iterator(folder)) {
        entries.insert(fs::relative(entry.path(), folder).string());
    }
    return entries;
}

bool anyLineStartsWith(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(), [&](auto& line) { return line.rfind(start, 0) == 0; });
}

TEST(PloverStorage, KeysNameTheirFilesAndScalarsAreStoredWrapped) {
    const std::pair<Key, const char*> names[] = {
        {Key::distinctId, "plover.distinctId"},
        {Key::anonymousId, "plover.anonymousId"},
        {Key::queue, "plover.queueFolder"},
        {Key::oldQeueue, "plover.queue.plist"},
        {Key::replayQeueue, "plover.replayFolder"},
        {Key::enabledFeatureFlags, "plover.enabledFeatureFlags"},
        {Key::enabledFeatureFlagPayloads, "plover.enabledFeatureFlagPayloads"},
        {Key::flags, "plover.flags"},
        {Key::groups, "plover.groups"},
        {Key::registerProperties, "plover.registerProperties"},
        {Key::optOut, "plover.optOut"},
        {Key::sessionReplay, "plover.sessionReplay"},
        {Key::isIdentified, "plover.isIdentified"},
        {Key::personProcessingEnabled, "plover.enabledPersonProcessing"},
        {Key::remoteConfig, "plover.remoteConfig"},
        {Key::surveySeen, "plover.surveySeen"},
        {Key::requestId, "plover.requestId"},
        {Key::personPropertiesForFlags, "plover.personPropertiesForFlags"},
        {Key::groupPropertiesForFlags, "plover.groupPropertiesForFlags"},
    };
    ASSERT_EQ(PloverStorage::allKeys().size(), std::size(names));
    StorageFolders folders;
    auto config = makeConfig("test-key");
    PloverStorage storage(*config, folders.environment());
    ASSERT_EQ(storage.appFolderUrl(), folders.applicationFolder() / "test-key");
    EXPECT_TRUE(fs::is_directory(*storage.appFolderUrl()));
    for (std::size_t i = 0; i < std::size(names); ++i) {
        auto [key, raw] = names[i];
        SCOPED_TRACE(raw);
        EXPECT_EQ(PloverStorage::allKeys()[i], key);
        EXPECT_EQ(PloverStorage::rawValue(key), raw);
        EXPECT_EQ(PloverStorage::keyFromRawValue(raw), key);
        storage.setJson(key, Value("v"));
        auto file = *storage.appFolderUrl() / raw;
        EXPECT_EQ(readFile(file), std::string(R"({")") + raw + R"(":"v"})");
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(storage.getString(key), "v");
    }
    EXPECT_FALSE(PloverStorage::keyFromRawValue("plover.personProcessingEnabled"));

    const std::tuple<Key, Value, const char*> values[] = {
        {Key::optOut, true, R"({"plover.optOut":true})"},
        {Key::personProcessingEnabled, false, R"({"plover.enabledPersonProcessing":false})"},
        {Key::requestId, 5, R"({"plover.requestId":5})"},
        {Key::enabledFeatureFlags, json::parse(R"({"a":true})"), R"({"a":true})"},
        {Key::groups, Value::Object{{"company", "acme"}}, R"({"company":"acme"})"},
        {Key::flags, Value::Array{1, "two"}, R"([1,"two"])"},
    };
    for (auto& [key, value, bytes] : values) {
        storage.setJson(key, value);
        EXPECT_EQ(readFile(*storage.url(key)), bytes);
    }
    EXPECT_EQ(storage.getBool(Key::optOut), true);
    EXPECT_EQ(storage.getJson(Key::optOut), json::parse(R"({"plover.optOut":true})"));
    EXPECT_EQ(storage.getJson(Key::enabledFeatureFlags), json::parse(R"({"a":true})"));
}

TEST(PloverStorage, ReadingRefusesOtherTypesUnparsableAndTopLevelScalarFiles) {
    StorageFolders folders;
    LogCapture log;
    PloverStorage storage(*makeConfig(), folders.environment());
    auto put = [&](Key key, const std::string& bytes) { writeFile(*storage.url(key), bytes); };

    EXPECT_FALSE(storage.getString(Key::distinctId));
    EXPECT_FALSE(storage.getData(Key::distinctId));
    storage.setData(Key::distinctId, std::nullopt);
    EXPECT_TRUE(log.lines().empty());

    put(Key::distinctId, R"({"plover.distinctId":"id","other":1})");
    EXPECT_FALSE(storage.getString(Key::distinctId));
    put(Key::distinctId, R"({"other":"x"})");
    EXPECT_FALSE(storage.getString(Key::distinctId));
    put(Key::optOut, R"({"plover.optOut":true,"other":"x"})");
    EXPECT_FALSE(storage.getBool(Key::optOut));
    put(Key::optOut, R"({"plover.optOut":"true"})");
    EXPECT_FALSE(storage.getBool(Key::optOut));
    put(Key::optOut, R"([true])");
    EXPECT_FALSE(storage.getBool(Key::optOut));
    EXPECT_TRUE(log.lines().empty());

    put(Key::optOut, "true");
    EXPECT_FALSE(storage.getBool(Key::optOut));
    put(Key::groups, "{\"a\":");
    EXPECT_FALSE(storage.getJson(Key::groups));
    // Deeper than any stored value may be.
    put(Key::flags, std::string(10000, '[') + std::string(10000, ']'));
    EXPECT_FALSE(storage.getJson(Key::flags));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("[Plover] Failed to serialize key 'optOut' error: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("[Plover] Failed to serialize key 'groups' error: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("[Plover] Failed to serialize key 'flags' error: ", 0), 0u) << lines[2];

    log.clear();
    fs::create_directories(*storage.url(Key::requestId));
    EXPECT_FALSE(storage.getData(Key::requestId));
    EXPECT_TRUE(anyLineStartsWith(log.lines(), "[Plover] Error reading data from key requestId: "));
}

TEST(PloverStorage, AValueWithoutJsonFormLeavesTheStoredFileAsItWas) {
    StorageFolders folders;
    LogCapture log;
    PloverStorage storage(*makeConfig(), folders.environment());
    storage.setJson(Key::registerProperties, Value::Object{{"plan", "pro"}});
    for (auto& bad : {Value(Value::Object{{"ratio", std::nan("")}}), Value(Value::Array{plover::Date{}}),
                      Value(std::numeric_limits<double>::infinity())}) {
        storage.setJson(Key::registerProperties, bad);
        EXPECT_EQ(readFile(*storage.url(Key::registerProperties)), R"({"plan":"pro"})");
    }
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[Plover] Failed to serialize key 'registerProperties' error: the value has no JSON form");
    // Only nothing deletes.
    storage.setData(Key::registerProperties, std::nullopt);
    EXPECT_FALSE(fs::exists(*storage.url(Key::registerProperties)));
}

TEST(PloverStorage, ResetDeletesKeyFilesButKeepsTheQueueFolders) {
    for (bool keepAnonymousId : {true, false}) {
        SCOPED_TRACE(keepAnonymousId);
        StorageFolders folders;
        PloverStorage storage(*makeConfig(), folders.environment());
        for (Key key : PloverStorage::allKeys()) {
            if (key == Key::queue || key == Key::replayQeueue) {
                writeFile(*storage.url(key) / "event", "{}");
            } else {
                storage.setJson(key, Value("x"));
            }
        }
        storage.reset(keepAnonymousId);
        std::set<std::string> expected{"plover.queueFolder", "plover.queueFolder/event", "plover.replayFolder",
                                       "plover.replayFolder/event"};
        if (keepAnonymousId) expected.insert("plover.anonymousId");
        EXPECT_EQ(entriesBelow(*storage.appFolderUrl()), expected);
    }
}

TEST(PloverStorage, KeyFilesInTheBaseFolderMoveIntoTheProjectFolder) {
    StorageFolders folders;
    LogCapture log;
    auto base = folders.applicationFolder();
    writeFile(base / "plover.distinctId", R"({"plover.distinctId":"old-id"})");
    writeFile(base / "plover.optOut", R"({"plover.optOut":true})");
    writeFile(base / "plover.queueFolder" / "1.json", R"({"event":"a"})");
    writeFile(base / "plover.queueFolder" / "2.json", R"({"event":"b"})");
    writeFile(base / "unrelated.txt", "stays");
    writeFile(base / "test-key" / "plover.optOut", R"({"plover.optOut":false})");

    PloverStorage storage(*makeConfig("test-key"), folders.environment());
    EXPECT_EQ(storage.getString(Key::distinctId), "old-id");
    EXPECT_EQ(storage.getBool(Key::optOut), false);  // the project folder's own value wins
    EXPECT_EQ(readFile(*storage.url(Key::queue) / "2.json"), R"({"event":"b"})");
    EXPECT_EQ(entriesBelow(base), (std::set<std::string>{
                                      "unrelated.txt", "test-key", "test-key/plover.distinctId",
                                      "test-key/plover.optOut", "test-key/plover.queueFolder",
                                      "test-key/plover.queueFolder/1.json", "test-key/plover.queueFolder/2.json",
                                  }));
    EXPECT_TRUE(log.lines().empty());
}

TEST(PloverStorage, AnOldKeyFileThatCannotBeCopiedStaysUntilItCan) {
    StorageFolders folders;
    LogCapture log;
    auto base = folders.applicationFolder();
    fs::create_directories(base);
    // A pipe cannot be copied.
    ASSERT_EQ(::mkfifo((base / "plover.groups").c_str(), 0600), 0);
    writeFile(base / "plover.queueFolder" / "1.json", "{}");
    ASSERT_EQ(::mkfifo((base / "plover.queueFolder" / "2.json").c_str(), 0600), 0);

    PloverStorage storage(*makeConfig("test-key"), folders.environment());
    EXPECT_TRUE(fs::is_fifo(base / "plover.groups"));
    EXPECT_TRUE(fs::exists(base / "plover.queueFolder" / "1.json"));
    EXPECT_FALSE(fs::exists(*storage.url(Key::groups)));
    // A folder that could not be copied whole is not left half copied.
    EXPECT_EQ(entriesBelow(*storage.appFolderUrl()), std::set<std::string>{});
    auto lines = log.lines();
    EXPECT_TRUE(anyLineStartsWith(lines, "[Plover] Error during storage migration for file plover.groups at path " +
                                             (base / "plover.groups").string() + ": "));
    EXPECT_TRUE(anyLineStartsWith(lines, "[Plover] Error during storage migration for file plover.queueFolder at path "));

    fs::remove(base / "plover.groups");
    writeFile(base / "plover.groups", R"({"company":"acme"})");
    fs::remove(base / "plover.queueFolder" / "2.json");
    PloverStorage again(*makeConfig("test-key"), folders.environment());
    EXPECT_EQ(again.getJson(Key::groups), json::parse(R"({"company":"acme"})"));
    EXPECT_TRUE(fs::exists(*again.url(Key::queue) / "1.json"));
    EXPECT_FALSE(fs::exists(base / "plover.groups"));
    EXPECT_FALSE(fs::exists(base / "plover.queueFolder"));
}

TEST(PloverStorage, AppGroupContainerHoldsTheDataAndTheLegacyFolderIsMergedIntoIt) {
    StorageFolders folders;
    LogCapture log;
    auto container = folders.addContainer("group.example");
    auto library = container / "Library" / "Application Support";
    auto legacy = library / "org.example.app";
    auto group = library / "group.example";
    writeFile(legacy / "test-key" / "plover.distinctId", R"({"plover.distinctId":"legacy-id"})");
    writeFile(legacy / "test-key" / "plover.queueFolder" / "1.json", "{}");
    writeFile(legacy / "test-key" / "plover.optOut", R"({"plover.optOut":true})");
    writeFile(group / "test-key" / "plover.optOut", R"({"plover.optOut":false})");
    writeFile(legacy / "plover.anonymousId", R"({"plover.anonymousId":"base-anon"})");

    auto config = makeConfig("test-key");
    config->appGroupIdentifier = "group.example";
    PloverStorage storage(*config, folders.environment());
    ASSERT_EQ(storage.appFolderUrl(), group / "test-key");
    EXPECT_EQ(storage.getString(Key::distinctId), "legacy-id");
    EXPECT_EQ(storage.getBool(Key::optOut), false);
    // A key file the legacy folder had at its top reaches the project folder through the base folder.
    EXPECT_EQ(storage.getString(Key::anonymousId), "base-anon");
    EXPECT_TRUE(fs::exists(*storage.url(Key::queue) / "1.json"));
    EXPECT_FALSE(fs::exists(legacy));
    EXPECT_FALSE(fs::exists(folders.dataHome()));
    auto lines = log.lines();
    EXPECT_TRUE(std::find(lines.begin(), lines.end(),
                          "[Plover] Legacy folder found at file://" + legacy.string() + "/, merging...") != lines.end());
    EXPECT_TRUE(std::find(lines.begin(), lines.end(),
                          "[Plover] Successfully migrated and removed legacy folder at file://" + legacy.string() +
                              "/") != lines.end());

    // Without a container for the group the data home holds the data.
    auto other = makeConfig("test-key");
    other->appGroupIdentifier = "group.unknown";
    PloverStorage fallback(*other, folders.environment());
    EXPECT_EQ(fallback.appFolderUrl(), folders.applicationFolder() / "test-key");
}

TEST(PloverStorage, ALegacyFileThatCannotBeMovedKeepsTheLegacyFolder) {
    StorageFolders folders;
    LogCapture log;
    auto library = folders.addContainer("group.example") / "Library" / "Application Support";
    auto legacy = library / "org.example.app";
    writeFile(legacy / "sub" / "ok.json", "{}");
    ASSERT_EQ(::mkfifo((legacy / "sub" / "pipe").c_str(), 0600), 0);
    auto config = makeConfig("test-key");
    config->appGroupIdentifier = "group.example";
    PloverStorage storage(*config, folders.environment());
    EXPECT_TRUE(fs::exists(library / "group.example" / "sub" / "ok.json"));
    EXPECT_FALSE(fs::exists(legacy / "sub" / "ok.json"));
    EXPECT_TRUE(fs::is_fifo(legacy / "sub" / "pipe"));
    EXPECT_TRUE(anyLineStartsWith(log.lines(), "[Plover] Failed to migrate file from " + (legacy / "sub" / "pipe").string() +
                                                   " to " + (library / "group.example" / "sub" / "pipe").string() + ": "));
}

TEST(PloverStorage, MigrationsWhoseSourceIsTheTargetDoNothing) {
    {
        // The group is named like the application: its folder is the "legacy" folder itself.
        StorageFolders folders;
        auto library = folders.addContainer("org.example.app") / "Library" / "Application Support";
        writeFile(library / "org.example.app" / "test-key" / "plover.distinctId", R"({"plover.distinctId":"kept"})");
        auto config = makeConfig("test-key");
        config->appGroupIdentifier = "org.example.app";
        PloverStorage storage(*config, folders.environment());
        EXPECT_EQ(storage.appFolderUrl(), library / "org.example.app" / "test-key");
        EXPECT_EQ(storage.getString(Key::distinctId), "kept");
    }
    {
        // A project whose key is the name of a key file: its own folder is not an old key file.
        StorageFolders folders;
        PloverStorage first(*makeConfig("plover.queueFolder"), folders.environment());
        first.setJson(Key::distinctId, Value("mine"));
        PloverStorage second(*makeConfig("plover.queueFolder"), folders.environment());
        EXPECT_EQ(second.getString(Key::distinctId), "mine");
    }
}

TEST(PloverStorage, ApiKeysThatCannotBeAFolderNameKeepNothing) {
    const std::string keys[] = {"", ".", "..", "a/b", "/", std::string("a\0b", 3)};
    for (auto& key : keys) {
        SCOPED_TRACE(key);
        StorageFolders folders;
        LogCapture log;
        PloverStorage storage(*makeConfig(key), folders.environment());
        EXPECT_FALSE(storage.appFolderUrl());
        storage.setJson(Key::distinctId, Value("id"));
        EXPECT_FALSE(storage.getString(Key::distinctId));
        storage.reset(false);
        EXPECT_FALSE(fs::exists(folders.dataHome()));
        EXPECT_FALSE(log.lines().empty());
    }
}

TEST(PloverStorage, AWriterKilledMidWriteLeavesTheOldOrTheNewFile) {
    StorageFolders folders;
    PloverStorage storage(*makeConfig(), folders.environment());
    // Large enough that writing one takes many system calls.
    auto valueFor = [](int round) {
        return Value::Object{{"round", round}, {"padding", std::string(4 * 1024 * 1024, static_cast<char>('a' + round % 26))}};
    };
    storage.setJson(Key::registerProperties, valueFor(0));
    for (int killAfter : {1, 2, 5}) {
        SCOPED_TRACE(killAfter);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            for (int round = 1; round < 100000; ++round) {
                storage.setJson(Key::registerProperties, valueFor(round));
                char byte = 1;
                if (::write(ready[1], &byte, 1) != 1) break;
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte;
        for (int i = 0; i < killAfter; ++i) ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        EXPECT_TRUE(WIFSIGNALED(status));

        auto stored = storage.getJson(Key::registerProperties);
        ASSERT_TRUE(stored);
        auto& object = stored->as_object();
        int round = static_cast<int>(object.at("round").as_int64());
        EXPECT_GE(round, killAfter);
        EXPECT_EQ(object.at("padding").as_string(), *valueFor(round).at("padding").string());
    }
}

}  // namespace
