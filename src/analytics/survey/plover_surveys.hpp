#pragma once
// What an application needs to render in-app surveys itself: a read-only description of a survey
// (its questions and appearance), the answer a user gives, what comes after an answer, and the
// delegate a survey is handed to. The configuration carries a `PloverSurveysConfig` whose delegate
// does nothing until the application sets its own.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/util/dates.hpp"

namespace plover {

enum class PloverSurveyResponseType : int { link = 0, rating = 1, openEnded = 2, singleChoice = 3, multipleChoice = 4 };
std::optional<PloverSurveyResponseType> surveyResponseTypeFromRawValue(int rawValue);

// How a rating question is shown: a row of numbers or of emoji.
enum class PloverDisplaySurveyRatingType : int { number = 0, emoji = 1 };
std::optional<PloverDisplaySurveyRatingType> displaySurveyRatingTypeFromRawValue(int rawValue);

// How a text is to be read: as HTML or as plain text.
enum class PloverDisplaySurveyTextContentType : int { html = 0, text = 1 };
std::optional<PloverDisplaySurveyTextContentType> displaySurveyTextContentTypeFromRawValue(int rawValue);

class PloverDisplaySurveyAppearance {
public:
    struct Fields {
        std::optional<std::string> fontFamily;
        std::optional<std::string> backgroundColor;
        std::optional<std::string> borderColor;
        std::optional<std::string> submitButtonColor;
        std::optional<std::string> submitButtonText;
        std::optional<std::string> submitButtonTextColor;
        std::optional<std::string> descriptionTextColor;
        std::optional<std::string> ratingButtonColor;
        std::optional<std::string> ratingButtonActiveColor;
        std::optional<std::string> placeholder;
        bool displayThankYouMessage = false;
        std::optional<std::string> thankYouMessageHeader;
        std::optional<std::string> thankYouMessageDescription;
        std::optional<PloverDisplaySurveyTextContentType> thankYouMessageDescriptionContentType;
        std::optional<std::string> thankYouMessageCloseButtonText;
    };
    explicit PloverDisplaySurveyAppearance(Fields fields) : fields_(std::move(fields)) {}

    const std::optional<std::string>& fontFamily() const { return fields_.fontFamily; }
    const std::optional<std::string>& backgroundColor() const { return fields_.backgroundColor; }
    const std::optional<std::string>& borderColor() const { return fields_.borderColor; }
    const std::optional<std::string>& submitButtonColor() const { return fields_.submitButtonColor; }
    const std::optional<std::string>& submitButtonText() const { return fields_.submitButtonText; }
    const std::optional<std::string>& submitButtonTextColor() const { return fields_.submitButtonTextColor; }
    const std::optional<std::string>& descriptionTextColor() const { return fields_.descriptionTextColor; }
    const std::optional<std::string>& ratingButtonColor() const { return fields_.ratingButtonColor; }
    const std::optional<std::string>& ratingButtonActiveColor() const { return fields_.ratingButtonActiveColor; }
    const std::optional<std::string>& placeholder() const { return fields_.placeholder; }
    bool displayThankYouMessage() const { return fields_.displayThankYouMessage; }
    const std::optional<std::string>& thankYouMessageHeader() const { return fields_.thankYouMessageHeader; }
    const std::optional<std::string>& thankYouMessageDescription() const { return fields_.thankYouMessageDescription; }
    std::optional<PloverDisplaySurveyTextContentType> thankYouMessageDescriptionContentType() const {
        return fields_.thankYouMessageDescriptionContentType;
    }
    const std::optional<std::string>& thankYouMessageCloseButtonText() const {
        return fields_.thankYouMessageCloseButtonText;
    }

private:
    Fields fields_;
};

// The part every kind of question has; the kinds below add their own.
class PloverDisplaySurveyQuestion {
public:
    struct Fields {
        std::string question;
        std::optional<std::string> questionDescription;
        PloverDisplaySurveyTextContentType questionDescriptionContentType = PloverDisplaySurveyTextContentType::text;
        bool isOptional = false;
        std::optional<std::string> buttonText;
    };
    explicit PloverDisplaySurveyQuestion(Fields fields) : fields_(std::move(fields)) {}
    virtual ~PloverDisplaySurveyQuestion() = default;

    const std::string& question() const { return fields_.question; }
    const std::optional<std::string>& questionDescription() const { return fields_.questionDescription; }
    PloverDisplaySurveyTextContentType questionDescriptionContentType() const {
        return fields_.questionDescriptionContentType;
    }
    bool isOptional() const { return fields_.isOptional; }
    const std::optional<std::string>& buttonText() const { return fields_.buttonText; }

private:
    Fields fields_;
};

// Answered with free text.
class PloverDisplayOpenQuestion : public PloverDisplaySurveyQuestion {
public:
    using PloverDisplaySurveyQuestion::PloverDisplaySurveyQuestion;
};

class PloverDisplayLinkQuestion : public PloverDisplaySurveyQuestion {
public:
    PloverDisplayLinkQuestion(Fields fields, std::optional<std::string> link)
        : PloverDisplaySurveyQuestion(std::move(fields)), link_(std::move(link)) {}
    const std::optional<std::string>& link() const { return link_; }

private:
    std::optional<std::string> link_;
};

class PloverDisplayRatingQuestion : public PloverDisplaySurveyQuestion {
public:
    struct Rating {
        PloverDisplaySurveyRatingType ratingType = PloverDisplaySurveyRatingType::number;
        int scaleLowerBound = 0;
        int scaleUpperBound = 0;
        std::string lowerBoundLabel;
        std::string upperBoundLabel;
    };
    PloverDisplayRatingQuestion(Fields fields, Rating rating)
        : PloverDisplaySurveyQuestion(std::move(fields)), rating_(std::move(rating)) {}

    PloverDisplaySurveyRatingType ratingType() const { return rating_.ratingType; }
    int scaleLowerBound() const { return rating_.scaleLowerBound; }
    int scaleUpperBound() const { return rating_.scaleUpperBound; }
    const std::string& lowerBoundLabel() const { return rating_.lowerBoundLabel; }
    const std::string& upperBoundLabel() const { return rating_.upperBoundLabel; }

private:
    Rating rating_;
};

class PloverDisplayChoiceQuestion : public PloverDisplaySurveyQuestion {
public:
    struct Choice {
        std::vector<std::string> choices;
        bool hasOpenChoice = false;
        bool shuffleOptions = false;
        bool isMultipleChoice = false;
    };
    PloverDisplayChoiceQuestion(Fields fields, Choice choice)
        : PloverDisplaySurveyQuestion(std::move(fields)), choice_(std::move(choice)) {}

    const std::vector<std::string>& choices() const { return choice_.choices; }
    bool hasOpenChoice() const { return choice_.hasOpenChoice; }
    bool shuffleOptions() const { return choice_.shuffleOptions; }
    bool isMultipleChoice() const { return choice_.isMultipleChoice; }

private:
    Choice choice_;
};

class PloverDisplaySurvey {
public:
    struct Fields {
        std::string id;
        std::string name;
        std::vector<std::shared_ptr<const PloverDisplaySurveyQuestion>> questions;
        std::optional<PloverDisplaySurveyAppearance> appearance;
        std::optional<Date> startDate;
        std::optional<Date> endDate;
    };
    explicit PloverDisplaySurvey(Fields fields) : fields_(std::move(fields)) {}

    const std::string& id() const { return fields_.id; }
    const std::string& name() const { return fields_.name; }
    const std::vector<std::shared_ptr<const PloverDisplaySurveyQuestion>>& questions() const {
        return fields_.questions;
    }
    const std::optional<PloverDisplaySurveyAppearance>& appearance() const { return fields_.appearance; }
    const std::optional<Date>& startDate() const { return fields_.startDate; }
    const std::optional<Date>& endDate() const { return fields_.endDate; }

private:
    Fields fields_;
};

// Which question the renderer shows after an answer, or that the survey is done.
struct PloverNextSurveyQuestion {
    int questionIndex = 0;
    bool isSurveyCompleted = false;
    bool operator==(const PloverNextSurveyQuestion&) const = default;
};

// A user's answer to one question, made by the factory of its kind.
class PloverSurveyResponse {
public:
    static PloverSurveyResponse link(bool clicked);
    static PloverSurveyResponse rating(std::optional<int> value);
    static PloverSurveyResponse openEnded(std::optional<std::string> text);
    // One selected option, or none at all (not an empty selection) without a choice.
    static PloverSurveyResponse singleChoice(std::optional<std::string> choice);
    static PloverSurveyResponse multipleChoice(std::optional<std::vector<std::string>> choices);

    PloverSurveyResponseType type() const { return type_; }
    std::optional<bool> linkClicked() const { return linkClicked_; }
    std::optional<int> ratingValue() const { return ratingValue_; }
    const std::optional<std::string>& textValue() const { return textValue_; }
    const std::optional<std::vector<std::string>>& selectedOptions() const { return selectedOptions_; }

private:
    explicit PloverSurveyResponse(PloverSurveyResponseType type) : type_(type) {}

    PloverSurveyResponseType type_;
    std::optional<bool> linkClicked_;
    std::optional<int> ratingValue_;
    std::optional<std::string> textValue_;
    std::optional<std::vector<std::string>> selectedOptions_;
};

// The application's survey renderer.
class PloverSurveysDelegate {
public:
    using OnSurveyShown = std::function<void(const PloverDisplaySurvey&)>;
    using OnSurveyResponse =
        std::function<PloverNextSurveyQuestion(const PloverDisplaySurvey&, int questionIndex, const PloverSurveyResponse&)>;
    using OnSurveyClosed = std::function<void(const PloverDisplaySurvey&)>;

    virtual ~PloverSurveysDelegate() = default;
    // Shows the survey; the renderer calls `onSurveyShown` once it is on screen, `onSurveyResponse`
    // with each answer (its result says what comes next) and `onSurveyClosed` when it goes away.
    virtual void renderSurvey(const PloverDisplaySurvey& survey, OnSurveyShown onSurveyShown,
                              OnSurveyResponse onSurveyResponse, OnSurveyClosed onSurveyClosed) = 0;
    virtual void cleanupSurveys() = 0;
};

// Renders nothing and calls none of the callbacks.
class PloverSurveysDefaultDelegate : public PloverSurveysDelegate {
public:
    void renderSurvey(const PloverDisplaySurvey&, OnSurveyShown, OnSurveyResponse, OnSurveyClosed) override {}
    void cleanupSurveys() override {}
};

class PloverSurveysConfig {
public:
    PloverSurveysConfig() : surveysDelegate_(std::make_shared<PloverSurveysDefaultDelegate>()) {}

    std::shared_ptr<PloverSurveysDelegate> surveysDelegate() const;
    // The delegate is never absent: a null one leaves the current delegate in place.
    void setSurveysDelegate(std::shared_ptr<PloverSurveysDelegate> delegate);

private:
    mutable std::mutex lock_;
    std::shared_ptr<PloverSurveysDelegate> surveysDelegate_;
};

}  // namespace plover
