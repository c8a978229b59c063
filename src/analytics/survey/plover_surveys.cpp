#include "analytics/survey/plover_surveys.hpp"

namespace plover {

std::optional<PloverSurveyResponseType> surveyResponseTypeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 4) return std::nullopt;
    return static_cast<PloverSurveyResponseType>(rawValue);
}

std::optional<PloverDisplaySurveyRatingType> displaySurveyRatingTypeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 1) return std::nullopt;
    return static_cast<PloverDisplaySurveyRatingType>(rawValue);
}

std::optional<PloverDisplaySurveyTextContentType> displaySurveyTextContentTypeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 1) return std::nullopt;
    return static_cast<PloverDisplaySurveyTextContentType>(rawValue);
}

PloverSurveyResponse PloverSurveyResponse::link(bool clicked) {
    PloverSurveyResponse response(PloverSurveyResponseType::link);
    response.linkClicked_ = clicked;
    return response;
}

PloverSurveyResponse PloverSurveyResponse::rating(std::optional<int> value) {
    PloverSurveyResponse response(PloverSurveyResponseType::rating);
    response.ratingValue_ = value;
    return response;
}

PloverSurveyResponse PloverSurveyResponse::openEnded(std::optional<std::string> text) {
    PloverSurveyResponse response(PloverSurveyResponseType::openEnded);
    response.textValue_ = std::move(text);
    return response;
}

PloverSurveyResponse PloverSurveyResponse::singleChoice(std::optional<std::string> choice) {
    PloverSurveyResponse response(PloverSurveyResponseType::singleChoice);
    if (choice) response.selectedOptions_ = std::vector<std::string>{std::move(*choice)};
    return response;
}

PloverSurveyResponse PloverSurveyResponse::multipleChoice(std::optional<std::vector<std::string>> choices) {
    PloverSurveyResponse response(PloverSurveyResponseType::multipleChoice);
    response.selectedOptions_ = std::move(choices);
    return response;
}

std::shared_ptr<PloverSurveysDelegate> PloverSurveysConfig::surveysDelegate() const {
    std::lock_guard lock(lock_);
    return surveysDelegate_;
}

void PloverSurveysConfig::setSurveysDelegate(std::shared_ptr<PloverSurveysDelegate> delegate) {
    if (!delegate) return;
    std::lock_guard lock(lock_);
    surveysDelegate_ = std::move(delegate);
}

}  // namespace plover
