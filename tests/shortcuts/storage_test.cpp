#include <algorithm>
#include <fstream>

#include "layer_fixture.hpp"

namespace {

using namespace GlobalShortcuts;
using shortcuts_test::commandQ;
using shortcuts_test::controlM;
using shortcuts_test::controlP;

class Storage : public shortcuts_test::LayerTest {};

TEST_F(Storage, TheFirstDeclarationStoresTheDefaultAndLaterOnesLeaveWhatIsStored) {
    Name startSession = layer->name("startSession", controlP);
    EXPECT_EQ(defaults.string("GlobalShortcuts_startSession"),
              R"({"carbonKeyCode":35,"carbonModifiers":4096})");
    EXPECT_TRUE(held(controlP));
    EXPECT_TRUE(layer->registeredShortcuts().count(controlP));
    EXPECT_EQ(changed, std::vector<std::string>{"startSession"});
    EXPECT_EQ(layer->getShortcut(startSession), controlP);

    defaults.set("GlobalShortcuts_moved", platform::UserDefaults::Value(commandQ.toJson()));
    defaults.set("GlobalShortcuts_endSession", platform::UserDefaults::Value(false));
    defaults.set("GlobalShortcuts_broken", platform::UserDefaults::Value(std::string("not json")));
    EXPECT_EQ(layer->getShortcut(layer->name("moved", controlM)), commandQ);
    EXPECT_EQ(layer->getShortcut(layer->name("endSession", controlM)), std::nullopt);
    EXPECT_EQ(defaults.boolean("GlobalShortcuts_endSession"), false);
    // Unreadable, but present: the default does not overwrite it.
    EXPECT_EQ(layer->getShortcut(layer->name("broken", controlM)), std::nullopt);
    EXPECT_EQ(defaults.string("GlobalShortcuts_broken"), "not json");
    EXPECT_EQ(changed.size(), 1u);
    EXPECT_EQ(backend->held().size(), 1u) << "declaring a stored name takes no key";
}

TEST_F(Storage, ClearingKeepsFalseForNamesWithDefaultsAndRemovesOthers) {
    Name withDefault = layer->name("startSession", controlP);
    Name plain = layer->name("custom");
    layer->setShortcut(commandQ, plain);
    changed.clear();

    layer->setShortcut(std::nullopt, withDefault);
    EXPECT_EQ(defaults.boolean("GlobalShortcuts_startSession"), false);
    EXPECT_FALSE(held(controlP));
    layer->setShortcut(std::nullopt, plain);
    EXPECT_FALSE(layer->hasStoredValue(plain));
    EXPECT_FALSE(held(commandQ));
    EXPECT_EQ(changed, (std::vector<std::string>{"startSession", "custom"}));

    // Nothing stored: nothing written, released or announced.
    int unregisters = backend->unregisterCalls;
    layer->setShortcut(std::nullopt, withDefault);
    layer->setShortcut(std::nullopt, plain);
    EXPECT_EQ(changed.size(), 2u);
    EXPECT_EQ(backend->unregisterCalls, unregisters);

    // The false marker survives the next start.
    Name again = layer->name("startSession", controlP);
    EXPECT_EQ(layer->getShortcut(again), std::nullopt);
    EXPECT_EQ(changed.size(), 2u);
}

TEST_F(Storage, StoringOrResettingMovesTheHotKeyUnderAFreshId) {
    Name name = layer->name("startSession", controlP);
    auto first = backend->heldId(35, 4096);
    layer->reset({name});
    auto second = backend->heldId(35, 4096);
    ASSERT_TRUE(first && second);
    EXPECT_GT(second->id, first->id);

    layer->setShortcut(commandQ, name);
    EXPECT_FALSE(held(controlP));
    EXPECT_EQ(defaults.string("GlobalShortcuts_startSession"), commandQ.toJson());
    auto third = backend->heldId(12, 256);
    layer->setShortcut(commandQ, name);  // the same shortcut again
    auto fourth = backend->heldId(12, 256);
    ASSERT_TRUE(third && fourth);
    EXPECT_GT(fourth->id, third->id);
    EXPECT_EQ(changed.size(), 4u) << "declared, reset and stored twice";

    layer->reset({name});
    EXPECT_EQ(layer->getShortcut(name), controlP);
    EXPECT_FALSE(held(commandQ));
    EXPECT_TRUE(held(controlP));
}

TEST_F(Storage, TheListingDropsTheWholePrefixAndResetAllRemovesDecodableEntriesOnly) {
    Name a = layer->name("a");
    Name b = layer->name("b");
    layer->setShortcut(controlP, a);
    layer->setShortcut(controlM, b);
    defaults.set("GlobalShortcuts_", platform::UserDefaults::Value(false));
    defaults.set("GlobalShortcuts_broken", platform::UserDefaults::Value(std::string("{")));
    defaults.set("Kestro_other", platform::UserDefaults::Value(std::int64_t{1}));
    std::vector<std::string> names;
    for (const auto& name : layer->storedShortcutNames()) names.push_back(name.rawValue);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"", "a", "b", "broken"}));
    changed.clear();

    layer->resetAll();
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(defaults.contains("GlobalShortcuts_a"));
    EXPECT_FALSE(defaults.contains("GlobalShortcuts_b"));
    EXPECT_TRUE(defaults.contains("GlobalShortcuts_"));
    EXPECT_TRUE(defaults.contains("GlobalShortcuts_broken"));
    EXPECT_TRUE(backend->held().empty());
}

TEST_F(Storage, AStoreThatCannotBeWrittenChangesNothingAndSaysSo) {
    // The store's file lies below a regular file: every write fails, whoever runs the test.
    auto blocker = defaults.file().parent_path() / "blocker";
    { std::ofstream(blocker) << "x"; }
    platform::UserDefaults unwritable(blocker / "defaults.json");
    auto other = ShortcutLayer::create(unwritable, notifications, io.get_executor(), backend,
                                       std::make_shared<shortcuts_test::LettersLayout>());
    Name name = other->name("startSession", controlP);
    EXPECT_EQ(other->getShortcut(name), std::nullopt);
    EXPECT_FALSE(held(controlP));
    EXPECT_TRUE(changed.empty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Could not store the shortcut of startSession: ", 0), 0u) << lines[0];
}

}  // namespace
