#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/uuid.hpp"
#include "analytics_fixtures.hpp"

namespace {

using analytics_test::makeConfig;
using analytics_test::StorageFolders;
using plover::PloverStorage;
using plover::PloverStorageManager;
using Key = plover::PloverStorage::StorageKey;
namespace fs = std::filesystem;

struct IdentityFixture : ::testing::Test {
    StorageFolders folders;
    std::shared_ptr<plover::PloverConfig> config = makeConfig("test-key");

    std::unique_ptr<PloverStorageManager> makeManager() {
        return std::make_unique<PloverStorageManager>(*config, folders.environment());
    }
    PloverStorage storage() { return PloverStorage(*config, folders.environment()); }
    fs::path file(Key key) { return *storage().url(key); }
};

TEST_F(IdentityFixture, IdentitySurvivesReconstruction) {
    auto first = makeManager();
    std::string anonymous = first->getDistinctId();
    auto uuid = plover::Uuid::parse(anonymous);
    ASSERT_TRUE(uuid) << anonymous;
    EXPECT_EQ(uuid->toString(), anonymous);
    EXPECT_EQ(uuid->bytes[6] >> 4, 7);
    EXPECT_EQ(first->getAnonymousId(), anonymous);
    EXPECT_TRUE(fs::exists(file(Key::anonymousId)));
    EXPECT_FALSE(fs::exists(file(Key::distinctId)));
    EXPECT_FALSE(first->isPersonProcessing());

    first->setDistinctId("user-1");
    first->setIdentified(true);
    first->setPersonProcessing(true);
    first.reset();

    auto second = makeManager();
    EXPECT_EQ(second->getAnonymousId(), anonymous);
    EXPECT_EQ(second->getDistinctId(), "user-1");
    EXPECT_TRUE(second->isIdentified());
    EXPECT_TRUE(second->isPersonProcessing());
    EXPECT_EQ(storage().getString(Key::distinctId), "user-1");
    EXPECT_EQ(storage().getBool(Key::isIdentified), true);
    EXPECT_EQ(storage().getBool(Key::personProcessingEnabled), true);
}

TEST_F(IdentityFixture, IdentifiedIsDerivedFromTheIdsUntilStored) {
    auto manager = makeManager();
    EXPECT_FALSE(manager->isIdentified());
    EXPECT_FALSE(fs::exists(file(Key::isIdentified)));

    auto other = makeManager();
    other->setDistinctId("someone-else");
    EXPECT_TRUE(other->isIdentified());
    EXPECT_FALSE(fs::exists(file(Key::isIdentified)));
    other->setIdentified(false);
    EXPECT_FALSE(makeManager()->isIdentified());
}

TEST_F(IdentityFixture, PersonProcessingIsWrittenOnlyWhenItChanges) {
    auto manager = makeManager();
    manager->setPersonProcessing(false);
    ASSERT_TRUE(fs::exists(file(Key::personProcessingEnabled)));
    fs::remove(file(Key::personProcessingEnabled));
    manager->setPersonProcessing(false);
    EXPECT_FALSE(fs::exists(file(Key::personProcessingEnabled)));
    manager->setPersonProcessing(true);
    EXPECT_EQ(storage().getBool(Key::personProcessingEnabled), true);
}

TEST_F(IdentityFixture, ResetKeepsOrClearsTheAnonymousIdAsTold) {
    auto manager = makeManager();
    std::string anonymous = manager->getAnonymousId();
    manager->setDistinctId("user-1");
    manager->setIdentified(true);
    manager->setPersonProcessing(true);

    // Keeping: memory keeps the anonymous id, the rest is read from storage again.
    storage().reset(true);
    storage().setJson(Key::distinctId, plover::Value("written-elsewhere"));
    manager->reset(true, false);
    fs::remove(file(Key::anonymousId));
    EXPECT_EQ(manager->getAnonymousId(), anonymous);
    EXPECT_EQ(manager->getDistinctId(), "written-elsewhere");
    EXPECT_FALSE(manager->isPersonProcessing());

    // Not keeping, files left in place: the stored ids come back.
    manager->setAnonymousId(anonymous);
    manager->reset(false, false);
    EXPECT_EQ(manager->getAnonymousId(), anonymous);
    EXPECT_EQ(manager->getDistinctId(), "written-elsewhere");

    // Not keeping, files deleted: a new anonymous id, which is the distinct id again.
    manager->setIdentified(true);
    manager->setPersonProcessing(true);
    manager->reset(false, true);
    for (Key key : {Key::distinctId, Key::anonymousId, Key::isIdentified, Key::personProcessingEnabled}) {
        EXPECT_FALSE(fs::exists(file(key))) << PloverStorage::rawValue(key);
    }
    std::string fresh = manager->getAnonymousId();
    EXPECT_NE(fresh, anonymous);
    EXPECT_EQ(manager->getDistinctId(), fresh);
    EXPECT_FALSE(manager->isIdentified());
}

TEST_F(IdentityFixture, GeneratedAnonymousIdsPassThroughTheConfiguredHook) {
    auto fixed = *plover::Uuid::parse("0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2b");
    std::atomic<int> calls{0};
    config->getAnonymousId = [&](plover::Uuid generated) {
        ++calls;
        EXPECT_EQ(generated.bytes[6] >> 4, 7);
        return fixed;
    };
    auto manager = makeManager();
    EXPECT_EQ(manager->getAnonymousId(), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");
    EXPECT_EQ(manager->getAnonymousId(), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");
    EXPECT_EQ(calls, 1);
    // The hook is copied when the store is made.
    config->getAnonymousId = [](plover::Uuid id) { return id; };
    manager->reset(false, true);
    EXPECT_EQ(manager->getAnonymousId(), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");
}

TEST_F(IdentityFixture, ConcurrentReadsWritesAndResetsNeitherDeadlockNorTearValues) {
    auto manager = makeManager();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) manager->setDistinctId("user-" + std::to_string(i % 3));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) manager->reset(i % 2 == 0, i % 5 == 0);
    });
    threads.emplace_back([&] {
        while (!stop) {
            std::string id = manager->getDistinctId();
            EXPECT_FALSE(id.empty());
            manager->isIdentified();
        }
    });
    threads.emplace_back([&] {
        while (!stop) {
            EXPECT_EQ(manager->getAnonymousId().size(), 36u);
            manager->setPersonProcessing(manager->isPersonProcessing());
        }
    });
    threads[0].join();
    threads[1].join();
    stop = true;
    threads[2].join();
    threads[3].join();
}

TEST(LibraryIdentity, NameAndVersionCanBeReplacedByAWrapper) {
    EXPECT_EQ(plover::ploverSdkName(), "plover-ios");
    EXPECT_EQ(plover::ploverVersion(), "3.30.0");
    plover::setPloverSdkName("plover-react-native");
    plover::setPloverVersion("9.9.9");
    EXPECT_EQ(plover::ploverSdkName(), "plover-react-native");
    EXPECT_EQ(plover::ploverVersion(), "9.9.9");
    plover::setPloverSdkName(std::string(plover::ploveriOSSdkName));
    plover::setPloverVersion("3.30.0");
}

}  // namespace
