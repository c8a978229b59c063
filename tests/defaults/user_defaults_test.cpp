#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/defaults/user_defaults.hpp"

namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("kestro-defaults-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path file() const { return folder_ / "kestro" / "defaults.json"; }

    fs::path folder_;
};

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

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
    platform::UserDefaults store(file());
    store.set("credential", "secret");
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(modeOf(file().parent_path()), 0700u);
    // No temporary or lock files are left next to it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file().parent_path()), fs::directory_iterator()), 1);
}

TEST_F(UserDefaultsTest, CorruptFileIsMovedAsideAndTheStoreStartsEmpty) {
    fs::create_directories(file().parent_path());
    std::ofstream(file()) << "{\"half\": ";
    platform::UserDefaults store(file());
    EXPECT_TRUE(store.keys().empty());
    fs::path aside = file();
    aside += ".corrupt";
    ASSERT_TRUE(fs::exists(aside));
    std::ifstream in(aside);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "{\"half\": ");

    store.set("fresh", 1);
    EXPECT_EQ(platform::UserDefaults(file()).integer("fresh"), 1);
}

TEST_F(UserDefaultsTest, FileSurvivesAWriterKilledMidWrite) {
    {
        platform::UserDefaults store(file());
        store.set("before", "kept");
    }
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
        fs::path aside = file();
        aside += ".corrupt";
        ASSERT_FALSE(fs::exists(aside)) << "round " << round;
        EXPECT_EQ(reopened.string("before"), "kept");
        EXPECT_EQ(modeOf(file()), 0600u);
    }
}

TEST_F(UserDefaultsTest, TwoThreadsWritingDifferentKeysLoseNeither) {
    constexpr int perThread = 150;
    {
        platform::UserDefaults store(file());
        auto writer = [&store](std::string prefix) {
            for (int i = 0; i < perThread; ++i) store.set(prefix + std::to_string(i), i);
        };
        std::thread first(writer, "a");
        std::thread second(writer, "b");
        first.join();
        second.join();
    }
    platform::UserDefaults reopened(file());
    EXPECT_EQ(reopened.keys().size(), 2u * perThread);
    for (int i = 0; i < perThread; ++i) {
        EXPECT_EQ(reopened.integer("a" + std::to_string(i)), i);
        EXPECT_EQ(reopened.integer("b" + std::to_string(i)), i);
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

TEST_F(UserDefaultsTest, SeparateStoresWritingAtOnceLoseNoKey) {
    constexpr int perWriter = 60;
    auto writer = [this](std::string prefix) {
        platform::UserDefaults own(file());
        for (int i = 0; i < perWriter; ++i) own.set(prefix + std::to_string(i), i);
    };
    std::thread first(writer, "a");
    std::thread second(writer, "b");
    first.join();
    second.join();
    EXPECT_EQ(platform::UserDefaults(file()).keys().size(), 2u * perWriter);
}

}  // namespace
