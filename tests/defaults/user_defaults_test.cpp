#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/defaults/user_defaults.hpp"
#include "platform/desktop/system_logger.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace fs = std::filesystem;
constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;

class UserDefaultsTest : public ::testing::Test {
protected:
    fs::path file() const { return folder.path() / "kestro" / "defaults.json"; }
    fs::path aside() const { return fs::path(file()) += ".corrupt"; }

    std::string text(const fs::path& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void write(const fs::path& path, const std::string& content) const {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    // The temporary files of writers next to the store.
    std::vector<std::string> temporaries() const {
        std::vector<std::string> names;
        for (auto& entry : fs::directory_iterator(file().parent_path())) {
            auto name = entry.path().filename().string();
            if (name.starts_with("defaults.json.tmp-")) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    support::TemporaryFolder folder;
};

// What the store says on standard error and in the system log while it lives.
struct Complaints {
    Complaints() { ::testing::internal::CaptureStderr(); }
    ~Complaints() {
        if (!collected) ::testing::internal::GetCapturedStderr();
    }
    // The lines printed so far (ends the capture).
    std::vector<std::string> printed() {
        collected = true;
        std::vector<std::string> lines;
        std::istringstream in(::testing::internal::GetCapturedStderr());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::vector<platform::LogRecord> logged;
    platform::ScopedLogSink sink{[this](const platform::LogRecord& record) { logged.push_back(record); }};
    bool collected = false;
};

// A pid that no process has: a child that has been reaped.
pid_t deadProcess() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// A file size limit that makes every write past `bytes` fail as on a full disk (EFBIG).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    sighandler_t previousHandler_;
};

TEST_F(UserDefaultsTest, ValuesKeepTheirKindsAcrossReopening) {
    {
        platform::UserDefaults store(file());
        store.set("name", "kestro");
        store.set("count", 3);
        store.set("ratio", 2.5);
        store.set("whole", 4.0);
        store.set("on", true);
        store.set("gone", "soon");
        store.remove("gone");
    }
    platform::UserDefaults store(file());
    EXPECT_EQ(store.string("name"), "kestro");
    EXPECT_EQ(store.integer("count"), 3);
    EXPECT_EQ(store.number("count"), 3.0);
    EXPECT_EQ(store.number("ratio"), 2.5);
    EXPECT_EQ(store.integer("ratio"), std::nullopt);
    EXPECT_EQ(store.integer("whole"), 4);
    EXPECT_EQ(store.boolean("on"), true);
    EXPECT_EQ(store.string("count"), std::nullopt);
    EXPECT_EQ(store.boolean("name"), std::nullopt);
    EXPECT_FALSE(store.contains("gone"));
    EXPECT_EQ(store.keys().size(), 5u);
}

TEST_F(UserDefaultsTest, FileIsPrivateToItsOwner) {
    platform::UserDefaults(file()).set("credential", "secret");
    EXPECT_EQ(fs::status(file()).permissions(), ownerOnly);
    EXPECT_EQ(fs::status(file().parent_path()).permissions(), fs::perms::owner_all);
    // No temporary or lock files are left next to it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file().parent_path()), fs::directory_iterator()), 1);
}

TEST_F(UserDefaultsTest, CorruptFileIsMovedAsideAndTheStoreStartsEmpty) {
    fs::create_directories(file().parent_path());
    std::ofstream(file()) << "{\"half\": ";
    platform::UserDefaults store(file());
    EXPECT_TRUE(store.keys().empty());
    std::ifstream in(aside());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"half\": ");

    store.set("fresh", 1);
    EXPECT_EQ(platform::UserDefaults(file()).integer("fresh"), 1);
}

TEST_F(UserDefaultsTest, FileSurvivesAWriterKilledMidWrite) {
    platform::UserDefaults(file()).set("before", "kept");
    const std::string bulk(64 * 1024, 'x');
    for (int round = 0; round < 6; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::UserDefaults store(file());
            for (long i = 0;; ++i) store.set("key" + std::to_string(i % 50), bulk + std::to_string(i));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        platform::UserDefaults reopened(file());
        ASSERT_FALSE(fs::exists(aside())) << "round " << round;
        EXPECT_EQ(reopened.string("before"), "kept");
        EXPECT_EQ(fs::status(file()).permissions(), ownerOnly);
        // The killed writer's half-written copy goes with the next write.
        reopened.set("round", round);
        EXPECT_EQ(temporaries(), std::vector<std::string>{}) << "round " << round;
    }
}

TEST_F(UserDefaultsTest, TwoThreadsWritingDifferentKeysLoseNeither) {
    // Through one store shared by both threads, and through a store of each thread's own (as two
    // processes would).
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "one store" : "a store each");
        const int perThread = shared ? 150 : 60;
        fs::remove(file());
        platform::UserDefaults common(file());
        auto writer = [&](std::string prefix) {
            std::optional<platform::UserDefaults> own;
            if (!shared) own.emplace(file());
            auto& store = shared ? common : *own;
            for (int i = 0; i < perThread; ++i) store.set(prefix + std::to_string(i), i);
        };
        std::thread first(writer, "a");
        std::thread second(writer, "b");
        first.join();
        second.join();

        platform::UserDefaults reopened(file());
        EXPECT_EQ(reopened.keys().size(), 2u * perThread);
        for (int i = 0; i < perThread; ++i) {
            EXPECT_EQ(reopened.integer("a" + std::to_string(i)), i);
            EXPECT_EQ(reopened.integer("b" + std::to_string(i)), i);
        }
    }
}

TEST_F(UserDefaultsTest, StoresSharingAFileSeeAndKeepEachOthersWrites) {
    // As when `kestro --set-credential` runs beside the tray application.
    platform::UserDefaults app(file());
    app.set("streak", 1);
    platform::UserDefaults tool(file());
    tool.set("credential", "fresh");
    EXPECT_EQ(app.string("credential"), "fresh");
    app.set("streak", 2);  // must not write back its older picture of the file
    EXPECT_EQ(platform::UserDefaults(file()).string("credential"), "fresh");
    tool.remove("streak");
    EXPECT_FALSE(app.contains("streak"));
    EXPECT_EQ(app.keys(), std::vector<std::string>{"credential"});
}

TEST_F(UserDefaultsTest, FilesOfEarlierVersionsReadWithTheirKinds) {
    // Indented, with a nested entry of another kind that a rewrite keeps.
    write(file(), "{\n  \"Kestro_StreakCount\": 3,\n  \"credential\": \"k-1\",\n  \"ratio\": 0.5,\n"
                  "  \"whole\": 4.0,\n  \"big\": 18446744073709551615,\n  \"on\": false,\n"
                  "  \"other\": {\"list\": [1, [2, {\"deep\": null}]]}\n}\n");
    platform::UserDefaults store(file());
    EXPECT_EQ(store.integer("Kestro_StreakCount"), 3);
    EXPECT_EQ(store.string("credential"), "k-1");
    EXPECT_EQ(store.number("ratio"), 0.5);
    EXPECT_EQ(store.value("whole"), platform::UserDefaults::Value(4.0));
    EXPECT_EQ(store.number("big"), 18446744073709551615.0);
    EXPECT_EQ(store.boolean("on"), false);
    EXPECT_EQ(store.value("other"), std::nullopt);
    EXPECT_TRUE(store.contains("other"));

    store.set("Kestro_StreakCount", 4);
    platform::UserDefaults reopened(file());
    EXPECT_EQ(reopened.integer("Kestro_StreakCount"), 4);
    EXPECT_EQ(reopened.value("whole"), platform::UserDefaults::Value(4.0));
    EXPECT_NE(text(file()).find(R"("other":{"list":[1,[2,{"deep":null}]]})"), std::string::npos) << text(file());
}

TEST_F(UserDefaultsTest, WritesCarryNoIndentation) {
    platform::UserDefaults store(file());
    store.set("a", 1);
    store.set("b", "two");
    EXPECT_EQ(text(file()), "{\"a\":1,\"b\":\"two\"}\n");
}

TEST_F(UserDefaultsTest, NestingBeyondTheBoundMakesTheFileCorrupt) {
    auto nested = [](std::size_t depth) {
        return std::string(depth, '[') + std::string(depth, ']');
    };
    struct Case {
        const char* name;
        std::size_t depth;  // of the array under "deep"; the file's object adds one more
        bool kept;
    };
    for (const Case& c : {Case{"within the bound", platform::UserDefaults::maxNestingDepth - 1, true},
                          Case{"one past the bound", platform::UserDefaults::maxNestingDepth, false},
                          Case{"tens of thousands deep", 50000, false}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file().parent_path());
        const std::string content = R"({"credential":"k","deep":)" + nested(c.depth) + "}";
        write(file(), content);
        platform::UserDefaults store(file());
        EXPECT_EQ(store.contains("credential"), c.kept);
        EXPECT_EQ(fs::exists(aside()), !c.kept);
        if (!c.kept) {
            EXPECT_EQ(text(aside()), content);
        }

        // Later writes stay small and the store stays usable.
        store.set("after", 1);
        EXPECT_LE(fs::file_size(file()), content.size() + 16);
        EXPECT_EQ(platform::UserDefaults(file()).integer("after"), 1);
    }
}

TEST_F(UserDefaultsTest, AFailedWriteUndoesItsChangeAndIsReportedOnce) {
    platform::UserDefaults store(file());
    store.set("kept", "old");
    store.set("padding", std::string(1000, 'p'));  // room in the limit below for what is printed
    const std::string before = text(file());
    Complaints complaints;
    {
        // Nothing larger than the file as it is can be written: a full disk.
        FileSizeLimit full(before.size());
        EXPECT_THROW(store.set("kept", std::string(4096, 'n')), std::system_error);
        EXPECT_THROW(store.set("fresh", std::string(4096, 'f')), std::system_error);
        EXPECT_EQ(store.string("kept"), "old");
        EXPECT_FALSE(store.contains("fresh"));
    }
    EXPECT_EQ(text(file()), before);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
    store.set("fresh", 2);
    EXPECT_EQ(platform::UserDefaults(file()).integer("fresh"), 2);
    EXPECT_EQ(platform::UserDefaults(file()).string("kept"), "old");

    auto printed = complaints.printed();
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_NE(printed[0].find(file().string()), std::string::npos) << printed[0];
    ASSERT_EQ(complaints.logged.size(), 1u);
    EXPECT_EQ(complaints.logged[0].message, printed[0]);
    EXPECT_EQ(complaints.logged[0].level, platform::LogLevel::error);
}

TEST_F(UserDefaultsTest, AFailedRemovalPutsTheValueBack) {
    platform::UserDefaults store(file());
    store.set("first", 1);
    store.set("second", "two");
    std::vector<platform::LogRecord> logged;
    platform::ScopedLogSink sink([&](const platform::LogRecord& record) { logged.push_back(record); });
    // A config folder that cannot hold a new file: a file stands where it should be made.
    fs::path blocked = folder.path() / "blocked" / "defaults.json";
    write(blocked.parent_path(), "not a folder");
    platform::UserDefaults nowhere(blocked);
    EXPECT_THROW(nowhere.set("any", 1), std::system_error);
    EXPECT_FALSE(nowhere.contains("any"));
    {
        FileSizeLimit full(1);
        EXPECT_THROW(store.remove("first"), std::system_error);
    }
    EXPECT_EQ(store.integer("first"), 1);
    EXPECT_EQ(store.keys().size(), 2u);
    EXPECT_EQ(logged.size(), 2u);  // one for each store
}

TEST_F(UserDefaultsTest, TemporariesOfDeadWritersGoOnTheNextWrite) {
    platform::UserDefaults store(file());
    store.set("credential", "secret");
    const fs::path dir = file().parent_path();
    const std::string dead = std::to_string(deadProcess());
    const std::string alive = std::to_string(::getppid());
    for (const std::string& name : {"defaults.json.tmp-" + dead + "-0", "defaults.json.tmp-" + dead + "-17",
                                    "defaults.json.tmp-" + alive + "-3", "other.json.tmp-" + dead + "-0",
                                    std::string("defaults.json.tmp-notapid-1")}) {
        write(dir / name, "{\"credential\":\"secret\"}");
    }
    store.set("streak", 1);
    EXPECT_EQ(temporaries(), (std::vector<std::string>{"defaults.json.tmp-" + alive + "-3",
                                                      "defaults.json.tmp-notapid-1"}));
    EXPECT_TRUE(fs::exists(dir / ("other.json.tmp-" + dead + "-0")));
}

TEST_F(UserDefaultsTest, AFileThatCannotBeReadIsNeverWrittenOver) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> breakIt;
        std::function<void(const fs::path&)> repairIt;
        bool needsUnprivileged = false;
    };
    const std::string original = R"({"credential":"precious","Kestro_StreakCount":7})";
    const Case cases[] = {
        {"a symbolic link that loops", [](const fs::path& f) { fs::create_symlink(f.filename(), f); },
         [&](const fs::path& f) {
             fs::remove(f);
             write(f, original);
         }},
        {"a read error", [](const fs::path& f) { fs::create_directories(f); },
         [&](const fs::path& f) {
             fs::remove(f);
             write(f, original);
         }},
        {"larger than the bound (the rest of a JSON object padded out)",
         [&](const fs::path& f) { write(f, original + std::string(platform::UserDefaults::maxFileSize, ' ')); },
         [&](const fs::path& f) { write(f, original); }},
        {"a named pipe, which nobody writes to",
         [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); },
         [&](const fs::path& f) {
             fs::remove(f);
             write(f, original);
         }},
        {"no permission to read",
         [&](const fs::path& f) {
             write(f, original);
             fs::permissions(f, fs::perms::none);
         },
         [](const fs::path& f) { fs::permissions(f, ownerOnly); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsUnprivileged && ::geteuid() == 0) {
            std::cout << "skipped \"" << c.name << "\": root reads every file\n";
            continue;
        }
        fs::remove_all(file().parent_path());
        fs::create_directories(file().parent_path());
        c.breakIt(file());
        const auto type = fs::symlink_status(file()).type();
        Complaints complaints;
        {
            platform::UserDefaults store(file());
            EXPECT_FALSE(store.contains("credential"));
            // The app goes on in memory.
            EXPECT_NO_THROW(store.set("Kestro_StreakCount", 1));
            EXPECT_NO_THROW(store.set("other", "x"));
            EXPECT_NO_THROW(store.remove("other"));
            EXPECT_EQ(store.integer("Kestro_StreakCount"), 1);
            EXPECT_EQ(fs::symlink_status(file()).type(), type);
            EXPECT_EQ(temporaries(), std::vector<std::string>{});
            EXPECT_FALSE(fs::exists(aside()));

            // Readable again: its content is what counts, and writes go to it again.
            c.repairIt(file());
            EXPECT_EQ(store.string("credential"), "precious");
            store.set("Kestro_StreakCount", 8);
        }
        platform::UserDefaults reopened(file());
        EXPECT_EQ(reopened.string("credential"), "precious");
        EXPECT_EQ(reopened.integer("Kestro_StreakCount"), 8);

        auto printed = complaints.printed();
        ASSERT_EQ(printed.size(), 1u);
        EXPECT_NE(printed[0].find("Cannot read the settings file " + file().string()), std::string::npos)
            << printed[0];
        ASSERT_EQ(complaints.logged.size(), 1u);
        EXPECT_EQ(complaints.logged[0].message, printed[0]);
    }
}

TEST_F(UserDefaultsTest, ALinkPlantedUnderATemporaryNameIsNeverWrittenThrough) {
    // Someone who can write to the folder plants links under the names the next writes would use.
    const fs::path dir = file().parent_path();
    const fs::path victim = folder.path() / "victim";
    write(victim, "victim's own");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
    const std::string pid = std::to_string(::getpid());
    fs::create_directories(dir);
    for (int n = 0; n < 100; ++n) fs::create_symlink(victim, dir / ("defaults.json.tmp-" + pid + "-" + std::to_string(n)));

    platform::UserDefaults store(file());
    store.set("credential", "secret");
    EXPECT_EQ(text(victim), "victim's own");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(fs::symlink_status(file()).type(), fs::file_type::regular);
    EXPECT_EQ(platform::UserDefaults(file()).string("credential"), "secret");
}

TEST_F(UserDefaultsTest, TextThatIsNotUTF8IsRefusedBeforeAnythingChanges) {
    platform::UserDefaults store(file());
    store.set("name", "kestro");
    const std::string before = text(file());
    for (const std::string bad : {"\xff", "a\xc3", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"}) {
        EXPECT_THROW(store.set("name", bad), std::invalid_argument);
        EXPECT_THROW(store.set(bad, "value"), std::invalid_argument);
    }
    store.set("accents", "d\xc3\xa9j\xc3\xa0 \xf0\x9f\x8e\xa4");
    EXPECT_EQ(platform::UserDefaults(file()).string("name"), "kestro");
    EXPECT_EQ(platform::UserDefaults(file()).string("accents"), "d\xc3\xa9j\xc3\xa0 \xf0\x9f\x8e\xa4");
    EXPECT_NE(before, text(file()));
}

}  // namespace
