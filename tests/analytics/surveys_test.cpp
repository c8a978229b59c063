#include <gtest/gtest.h>

#include "analytics/config/plover_config.hpp"
#include "analytics/survey/plover_surveys.hpp"

namespace {

using plover::PloverSurveyResponse;
using plover::PloverSurveyResponseType;

TEST(SurveyResponse, FactoriesFillOnlyTheirOwnAnswer) {
    struct Case {
        const char* name;
        PloverSurveyResponse response;
        PloverSurveyResponseType type;
        std::optional<bool> linkClicked;
        std::optional<int> ratingValue;
        std::optional<std::string> textValue;
        std::optional<std::vector<std::string>> selectedOptions;
    };
    const std::vector<Case> cases{
        {"link clicked", PloverSurveyResponse::link(true), PloverSurveyResponseType::link, true, {}, {}, {}},
        {"link not clicked", PloverSurveyResponse::link(false), PloverSurveyResponseType::link, false, {}, {}, {}},
        {"rating", PloverSurveyResponse::rating(4), PloverSurveyResponseType::rating, {}, 4, {}, {}},
        {"rating without a value", PloverSurveyResponse::rating(std::nullopt), PloverSurveyResponseType::rating, {}, {},
         {}, {}},
        {"open text", PloverSurveyResponse::openEnded("great"), PloverSurveyResponseType::openEnded, {}, {}, "great", {}},
        {"open without text", PloverSurveyResponse::openEnded(std::nullopt), PloverSurveyResponseType::openEnded, {}, {},
         {}, {}},
        {"single choice", PloverSurveyResponse::singleChoice("red"), PloverSurveyResponseType::singleChoice, {}, {}, {},
         std::vector<std::string>{"red"}},
        // No choice is no selection at all, not an empty one.
        {"single without a choice", PloverSurveyResponse::singleChoice(std::nullopt),
         PloverSurveyResponseType::singleChoice, {}, {}, {}, {}},
        {"multiple choices", PloverSurveyResponse::multipleChoice(std::vector<std::string>{"a", "b"}),
         PloverSurveyResponseType::multipleChoice, {}, {}, {}, std::vector<std::string>{"a", "b"}},
        {"multiple, empty", PloverSurveyResponse::multipleChoice(std::vector<std::string>{}),
         PloverSurveyResponseType::multipleChoice, {}, {}, {}, std::vector<std::string>{}},
        {"multiple without choices", PloverSurveyResponse::multipleChoice(std::nullopt),
         PloverSurveyResponseType::multipleChoice, {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.response.type(), c.type);
        EXPECT_EQ(c.response.linkClicked(), c.linkClicked);
        EXPECT_EQ(c.response.ratingValue(), c.ratingValue);
        EXPECT_EQ(c.response.textValue(), c.textValue);
        EXPECT_EQ(c.response.selectedOptions(), c.selectedOptions);
    }
}

TEST(SurveyEnumerations, RawValuesOutsideTheCasesGiveNone) {
    for (int raw : {-1, 5, 6}) EXPECT_FALSE(plover::surveyResponseTypeFromRawValue(raw)) << raw;
    EXPECT_EQ(plover::surveyResponseTypeFromRawValue(4), PloverSurveyResponseType::multipleChoice);
    EXPECT_EQ(plover::surveyResponseTypeFromRawValue(0), PloverSurveyResponseType::link);
    for (int raw : {-1, 2}) {
        EXPECT_FALSE(plover::displaySurveyRatingTypeFromRawValue(raw)) << raw;
        EXPECT_FALSE(plover::displaySurveyTextContentTypeFromRawValue(raw)) << raw;
    }
    EXPECT_EQ(plover::displaySurveyRatingTypeFromRawValue(1), plover::PloverDisplaySurveyRatingType::emoji);
    EXPECT_EQ(plover::displaySurveyTextContentTypeFromRawValue(0), plover::PloverDisplaySurveyTextContentType::html);
}

struct RecordingDelegate : plover::PloverSurveysDelegate {
    int rendered = 0;
    int cleanups = 0;
    void renderSurvey(const plover::PloverDisplaySurvey&, OnSurveyShown, OnSurveyResponse, OnSurveyClosed) override {
        ++rendered;
    }
    void cleanupSurveys() override { ++cleanups; }
};

plover::PloverDisplaySurvey sampleSurvey() {
    plover::PloverDisplaySurveyQuestion::Fields which;
    which.question = "Which?";
    plover::PloverDisplaySurvey::Fields fields;
    fields.id = "survey-1";
    fields.name = "Onboarding";
    fields.questions.push_back(std::make_shared<plover::PloverDisplayRatingQuestion>(
        plover::PloverDisplaySurveyQuestion::Fields{"How likely?", std::nullopt,
                                                    plover::PloverDisplaySurveyTextContentType::text, false, "Next"},
        plover::PloverDisplayRatingQuestion::Rating{plover::PloverDisplaySurveyRatingType::number, 0, 10, "no",
                                                    "yes"}));
    fields.questions.push_back(std::make_shared<plover::PloverDisplayChoiceQuestion>(
        which,
        plover::PloverDisplayChoiceQuestion::Choice{{"a", "b"}, true, false, true}));
    return plover::PloverDisplaySurvey(std::move(fields));
}

TEST(SurveysConfig, DefaultDelegateCallsNothingAndCanBeReplacedButNotCleared) {
    plover::PloverConfig config("key");
    ASSERT_NE(config.surveysConfig, nullptr);
    auto delegate = config.surveysConfig->surveysDelegate();
    ASSERT_NE(delegate, nullptr);
    ASSERT_NE(dynamic_cast<plover::PloverSurveysDefaultDelegate*>(delegate.get()), nullptr);

    int called = 0;
    delegate->renderSurvey(
        sampleSurvey(), [&](const plover::PloverDisplaySurvey&) { ++called; },
        [&](const plover::PloverDisplaySurvey&, int, const PloverSurveyResponse&) {
            ++called;
            return plover::PloverNextSurveyQuestion{1, false};
        },
        [&](const plover::PloverDisplaySurvey&) { ++called; });
    delegate->cleanupSurveys();
    EXPECT_EQ(called, 0);

    auto mine = std::make_shared<RecordingDelegate>();
    config.surveysConfig->setSurveysDelegate(mine);
    config.surveysConfig->setSurveysDelegate(nullptr);  // never absent: the last one stays
    config.surveysConfig->surveysDelegate()->cleanupSurveys();
    EXPECT_EQ(mine->cleanups, 1);
}

TEST(DisplaySurvey, QuestionKindsKeepTheirOwnFields) {
    auto survey = sampleSurvey();
    ASSERT_EQ(survey.questions().size(), 2u);
    auto* rating = dynamic_cast<const plover::PloverDisplayRatingQuestion*>(survey.questions()[0].get());
    ASSERT_NE(rating, nullptr);
    EXPECT_EQ(rating->question(), "How likely?");
    EXPECT_EQ(rating->buttonText(), "Next");
    EXPECT_EQ(rating->scaleUpperBound(), 10);
    EXPECT_EQ(rating->upperBoundLabel(), "yes");
    auto* choice = dynamic_cast<const plover::PloverDisplayChoiceQuestion*>(survey.questions()[1].get());
    ASSERT_NE(choice, nullptr);
    EXPECT_TRUE(choice->isMultipleChoice());
    EXPECT_TRUE(choice->hasOpenChoice());
    EXPECT_FALSE(survey.appearance());
    EXPECT_FALSE(survey.startDate());
}

}  // namespace
