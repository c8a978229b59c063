#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "app/transcript_collection.hpp"
#include "realtime/model/item.hpp"

namespace {

using realtime::Item;
using Content = Item::Message::Content;
using kestro::TranscriptEntry;

Content said(std::optional<std::string> transcript) { return Content::input_audio(Item::Audio{{}, std::move(transcript)}); }
Content spoken(std::optional<std::string> transcript) { return Content::audio(Item::Audio{{}, std::move(transcript)}); }

Item message(std::string id, realtime::OpenEnum<Item::ItemRole> role, std::vector<Content> content,
             realtime::OpenEnum<Item::ItemStatus> status = Item::ItemStatus::completed) {
    Item::Message m(std::move(id), role, std::move(content));
    m.status = status;
    return Item(std::move(m));
}

const auto now = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9} + std::chrono::hours{5};

class Collection : public ::testing::Test {
protected:
    // The entries one poll adds, as "role/type/content".
    std::vector<std::string> poll(const std::vector<Item>& items) {
        std::vector<TranscriptEntry> added;
        kestro::updateTranscript(items, processed, added, now);
        std::vector<std::string> texts;
        for (auto& entry : added) {
            EXPECT_EQ(entry.timestamp, now);
            texts.push_back(entry.role + "/" + entry.type + "/" + entry.content);
        }
        return texts;
    }
    using Texts = std::vector<std::string>;

    std::set<std::string> processed;
};

TEST_F(Collection, AssistantTextAndTranscriptsJoinInContentOrder) {
    EXPECT_EQ(poll({message("a1", Item::ItemRole::assistant, {Content::text("A"), spoken("B")})}), (Texts{"assistant/audio/A B"}));
    EXPECT_EQ(poll({message("a2", Item::ItemRole::assistant, {spoken("B"), Content::text("A")})}), (Texts{"assistant/audio/A"}));
    EXPECT_EQ(poll({message("a3", Item::ItemRole::assistant, {Content::text("one "), spoken("two"), spoken("three")})}),
              (Texts{"assistant/audio/one two three"}));
    EXPECT_EQ(poll({message("a4", Item::ItemRole::assistant,
                            {Content::text("first"), Content::text(""), Content::text("last"), Content::input_text("x")})}),
              (Texts{"assistant/text/last"}));
}

TEST_F(Collection, AnAssistantMessageIsLookedAtOnceEvenWhenItGaveNothing) {
    std::vector<Item> items{message("a1", Item::ItemRole::assistant, {spoken(std::nullopt)})};
    EXPECT_EQ(poll(items), Texts{});
    items[0] = message("a1", Item::ItemRole::assistant, {spoken("late transcript")});
    EXPECT_EQ(poll(items), Texts{});
    EXPECT_TRUE(processed.contains("a1"));
}

TEST_F(Collection, UserMessagesWaitForTheirTranscription) {
    std::vector<Item> items{message("u1", Item::ItemRole::user, {said(std::nullopt)})};
    EXPECT_EQ(poll(items), Texts{});
    EXPECT_FALSE(processed.contains("u1"));
    items[0] = message("u1", Item::ItemRole::user, {said("")});
    EXPECT_EQ(poll(items), Texts{});
    items[0] = message("u1", Item::ItemRole::user, {said("hello"), Content::input_text("typed"), said("again")});
    EXPECT_EQ(poll(items), (Texts{"user/audio/hello", "user/audio/again"}));
    EXPECT_EQ(poll(items), Texts{});
}

TEST_F(Collection, OnlyCompletedUserAndAssistantMessagesCount) {
    std::vector<Item> items{
        message("s1", Item::ItemRole::system, {Content::input_text("be brief")}),
        Item(Item::FunctionCall("f1", Item::ItemStatus::completed, "c1", "lookup", "{}")),
        Item(Item::FunctionCallOutput("o1", "c1", "result")),
        message("a1", Item::ItemRole::assistant, {Content::text("thinking")}, Item::ItemStatus::in_progress),
        message("u1", Item::ItemRole::user, {said("cut off")}, Item::ItemStatus::incomplete),
    };
    EXPECT_EQ(poll(items), Texts{});
    EXPECT_FALSE(processed.contains("s1"));
    EXPECT_FALSE(processed.contains("a1"));

    items[3] = message("a1", Item::ItemRole::assistant, {Content::text("done")});
    items[4] = message("u1", Item::ItemRole::user, {said("finished")});
    EXPECT_EQ(poll(items), (Texts{"assistant/text/done", "user/audio/finished"}));
}

// The service may name roles and statuses this client does not know; such messages are not
// collected, and the ones it knows still are.
TEST_F(Collection, MessagesWithARoleOrStatusThisClientDoesNotKnowAreLeftOut) {
    using Role = realtime::OpenEnum<Item::ItemRole>;
    using Status = realtime::OpenEnum<Item::ItemStatus>;
    const std::vector<Item> items{
        message("d1", Role::fromRawText("developer"), {Content::input_text("rules")}),
        message("a1", Item::ItemRole::assistant, {Content::text("later")}, Status::fromRawText("paused")),
        message("u1", Item::ItemRole::user, {said("hello")}),
    };
    EXPECT_EQ(poll(items), Texts{"user/audio/hello"});
    EXPECT_FALSE(processed.contains("d1"));
}

}  // namespace
