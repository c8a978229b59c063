#pragma once
// The error object the service sends in "error" and in failed transcription events.

#include <optional>
#include <string>
#include <tuple>

#include "realtime/model/fields.hpp"

namespace realtime {

struct ServerError {
    std::string type{};
    std::optional<std::string> code{};
    std::string message{};
    std::optional<std::string> param{};
    std::optional<std::string> eventId{};

    bool operator==(const ServerError&) const = default;
    static constexpr auto fields() {
        return std::tuple{field<"type">(&ServerError::type), field<"code">(&ServerError::code),
                          field<"message">(&ServerError::message), field<"param">(&ServerError::param),
                          field<"eventId">(&ServerError::eventId)};
    }
};

}  // namespace realtime
