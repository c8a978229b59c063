#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/defaults/user_defaults.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace fs = std::filesystem;
constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;

class UserDefaultsTest : public ::testing::Test {
protected:
    fs::path file() const { return folder.path() / "kestro" / "defaults.json"; }
    fs::path aside() const { return fs::path(file()) += ".corrupt"; }

    support::TemporaryFolder folder;
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

}  // namespace
