// Reading what KDE's shortcut service sends: key sequences as it writes them, and lists that no
// service writes (longer sequences, a flood of them) read within bounds.

#include <gtest/gtest.h>

#include <functional>

#include "platform/hotkeys/kglobalaccel_messages.hpp"
#include "support/backend_environment.hpp"
#include "wayland/bus_service.hpp"

namespace kde_test {
namespace {

namespace messages = platform::kglobalaccel;

class KGlobalAccelMessages : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bus.started()) GTEST_SKIP() << "dbus-daemon did not start: " << bus.log();
    }

    // A message filled by `fill`, sealed and read from its start by `read`.
    void roundTrip(const std::function<int(sd_bus_message*)>& fill, const std::function<void(sd_bus_message*)>& read) {
        wayland_test::BusService client(bus.address());
        client.run([&](sd_bus* connection) {
            sd_bus_message* message = nullptr;
            ASSERT_GE(sd_bus_message_new_signal(connection, &message, "/kglobalaccel", "org.kde.KGlobalAccel",
                                                "yourShortcutsChanged"),
                      0);
            ASSERT_GE(fill(message), 0);
            ASSERT_GE(sd_bus_message_seal(message, 1, 0), 0);
            ASSERT_GE(sd_bus_message_rewind(message, 1), 0);
            read(message);
            sd_bus_message_unref(message);
        });
    }

    support::TemporaryFolder folder;
    wayland_test::PrivateBus bus{folder.path() / "bus"};
};

TEST_F(KGlobalAccelMessages, KeysAreWrittenAsTheServiceTakesThemAndReadBack) {
    roundTrip(
        [](sd_bus_message* message) {
            int result = sd_bus_message_append(message, "as", 2u, "kestro", "startSession");
            if (result >= 0) result = messages::appendKeys(message, 0x04000050);
            return result;
        },
        [](sd_bus_message* message) {
            auto id = messages::readActionId(message);
            ASSERT_TRUE(id);
            EXPECT_EQ(*id, (std::vector<std::string>{"kestro", "startSession"}));
            EXPECT_EQ(std::string(sd_bus_message_get_signature(message, 1)), "asa(ai)");
            auto keys = messages::readKeySequences(message);
            ASSERT_TRUE(keys);
            EXPECT_EQ(*keys, (messages::KeySequences{{0x04000050}}));
        });
    roundTrip([](sd_bus_message* message) { return messages::appendKeys(message, std::nullopt); },
              [](sd_bus_message* message) {
                  auto keys = messages::readKeySequences(message);
                  ASSERT_TRUE(keys);
                  EXPECT_TRUE(keys->empty());
              });
}

TEST_F(KGlobalAccelMessages, EmptySequencesAreLeftOutAndOversizedListsAreCut) {
    roundTrip(
        [](sd_bus_message* message) {
            int result = sd_bus_message_open_container(message, 'a', "(ai)");
            // An empty sequence (what the service answers for a key it could not give), a chord of
            // two, one of six keys, then a flood.
            if (result >= 0) result = sd_bus_message_append(message, "(ai)", 4u, 0, 0, 0, 0);
            if (result >= 0) result = sd_bus_message_append(message, "(ai)", 4u, 1, 2, 0, 0);
            if (result >= 0) result = sd_bus_message_append(message, "(ai)", 6u, 1, 2, 3, 4, 5, 6);
            for (int i = 0; i < 1000 && result >= 0; ++i) {
                result = sd_bus_message_append(message, "(ai)", 1u, 0x41 + i % 26);
            }
            return result < 0 ? result : sd_bus_message_close_container(message);
        },
        [](sd_bus_message* message) {
            auto keys = messages::readKeySequences(message);
            ASSERT_TRUE(keys);
            ASSERT_EQ(keys->size(), 64u);
            EXPECT_EQ((*keys)[0], (messages::KeySequence{1, 2}));
            EXPECT_EQ((*keys)[1], (messages::KeySequence{1, 2, 3, 4}));
            EXPECT_EQ((*keys)[2], (messages::KeySequence{0x41}));
        });
    roundTrip([](sd_bus_message* message) { return sd_bus_message_append(message, "s", "no keys here"); },
              [](sd_bus_message* message) { EXPECT_FALSE(messages::readKeySequences(message)); });
}

TEST(KGlobalAccelPaths, AComponentsPathElementKeepsLettersDigitsAndUnderscores) {
    EXPECT_EQ(messages::pathElement("kestro"), "kestro");
    EXPECT_EQ(messages::pathElement("org.kde.kestro-2"), "org_kde_kestro_2");
}

}  // namespace
}  // namespace kde_test
