#pragma once
// Functions a session offers the model, with their arguments described by a small subset of JSON
// Schema, and the choice of whether and which of them the model may or must call.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "realtime/model/fields.hpp"
#include "realtime/model/raw_value.hpp"

namespace realtime {

struct Tool {
    struct FunctionParameters {
        enum class JSONType { integer, string, boolean, array, object, number, null };

        // The schema of one argument. The schema is recursive: a property may describe array
        // elements whose properties are properties again, to any depth.
        struct Property {
            // The schema of the elements of an array argument.
            struct Items {
                OpenEnum<JSONType> type = JSONType::object;
                // Keyed by argument name; names travel exactly as stored.
                std::optional<std::map<std::string, Property>> properties{};
                std::optional<std::string> pattern{};
                std::optional<std::string> const_{};
                std::optional<std::vector<std::string>> enum_{};
                std::optional<std::int64_t> multipleOf{};
                std::optional<double> minimum{};
                std::optional<double> maximum{};
                std::optional<std::int64_t> minItems{};
                std::optional<std::int64_t> maxItems{};
                std::optional<bool> uniqueItems{};

                // Defaulted below, once Property (held by the map) is complete.
                bool operator==(const Items&) const;
                static constexpr auto fields() {
                    return std::tuple{
                        field<"type">(&Items::type),           field<"properties">(&Items::properties),
                        field<"pattern">(&Items::pattern),     field<"const">(&Items::const_),
                        field<"enum">(&Items::enum_),          field<"multipleOf">(&Items::multipleOf),
                        field<"minimum">(&Items::minimum),     field<"maximum">(&Items::maximum),
                        field<"minItems">(&Items::minItems),   field<"maxItems">(&Items::maxItems),
                        field<"uniqueItems">(&Items::uniqueItems)};
                }
            };

            OpenEnum<JSONType> type = JSONType::string;
            std::optional<std::string> description{};
            std::optional<std::string> format{};
            std::optional<Items> items{};
            std::optional<std::vector<std::string>> required{};
            std::optional<std::string> pattern{};
            std::optional<std::string> const_{};
            std::optional<std::vector<std::string>> enum_{};
            std::optional<std::int64_t> multipleOf{};
            std::optional<double> minimum{};
            std::optional<double> maximum{};
            std::optional<std::int64_t> minItems{};
            std::optional<std::int64_t> maxItems{};
            std::optional<bool> uniqueItems{};

            bool operator==(const Property&) const = default;
            static constexpr auto fields() {
                return std::tuple{
                    field<"type">(&Property::type),           field<"description">(&Property::description),
                    field<"format">(&Property::format),       field<"items">(&Property::items),
                    field<"required">(&Property::required),   field<"pattern">(&Property::pattern),
                    field<"const">(&Property::const_),        field<"enum">(&Property::enum_),
                    field<"multipleOf">(&Property::multipleOf), field<"minimum">(&Property::minimum),
                    field<"maximum">(&Property::maximum),     field<"minItems">(&Property::minItems),
                    field<"maxItems">(&Property::maxItems),   field<"uniqueItems">(&Property::uniqueItems)};
            }
        };

        OpenEnum<JSONType> type = JSONType::object;
        std::optional<std::map<std::string, Property>> properties{};
        std::optional<std::vector<std::string>> required{};
        std::optional<std::string> pattern{};
        std::optional<std::string> const_{};
        std::optional<std::vector<std::string>> enum_{};
        std::optional<std::int64_t> multipleOf{};
        std::optional<std::int64_t> minimum{};
        std::optional<std::int64_t> maximum{};

        bool operator==(const FunctionParameters&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"type">(&FunctionParameters::type),
                              field<"properties">(&FunctionParameters::properties),
                              field<"required">(&FunctionParameters::required),
                              field<"pattern">(&FunctionParameters::pattern),
                              field<"const">(&FunctionParameters::const_),
                              field<"enum">(&FunctionParameters::enum_),
                              field<"multipleOf">(&FunctionParameters::multipleOf),
                              field<"minimum">(&FunctionParameters::minimum),
                              field<"maximum">(&FunctionParameters::maximum)};
        }
    };

    std::string type = "function";
    std::string name{};
    std::string description{};
    FunctionParameters parameters{};

    bool operator==(const Tool&) const = default;
    static constexpr auto fields() {
        return std::tuple{field<"type">(&Tool::type), field<"name">(&Tool::name),
                          field<"description">(&Tool::description), field<"parameters">(&Tool::parameters)};
    }
};

inline bool Tool::FunctionParameters::Property::Items::operator==(const Items&) const = default;

template <>
struct RawValues<Tool::FunctionParameters::JSONType> {
    static constexpr std::string_view typeName = "JSONType";
    static constexpr std::array<std::string_view, 7> texts{"integer", "string", "boolean", "array",
                                                           "object",  "number", "null"};
};

// Whether and which tool the model may or must call. On the wire "auto", "none" and "required" are
// bare strings; a named function is {"type": "function", "function": {"name": ...}}. Any other
// bare string is a choice the service added later, kept as received and written back unchanged.
class ToolChoice {
public:
    enum class Kind { auto_, none, required, function, unknown };

    ToolChoice() = default;  // auto
    static ToolChoice auto_() { return ToolChoice(Kind::auto_); }
    static ToolChoice none() { return ToolChoice(Kind::none); }
    static ToolChoice required() { return ToolChoice(Kind::required); }
    static ToolChoice function(std::string name) {
        ToolChoice choice(Kind::function);
        choice.functionName_ = std::move(name);
        return choice;
    }
    // A bare string that names none of the choices above.
    static ToolChoice unknown(std::string text) {
        ToolChoice choice(Kind::unknown);
        choice.unknownText_ = std::move(text);
        return choice;
    }

    Kind kind() const { return kind_; }
    // The name of the function the model must call; empty unless kind() is function.
    const std::string& functionName() const { return functionName_; }
    // The text of a choice this client does not know; empty unless kind() is unknown.
    const std::string& unknownText() const { return unknownText_; }

    bool operator==(const ToolChoice&) const = default;

private:
    explicit ToolChoice(Kind kind) : kind_(kind) {}

    Kind kind_ = Kind::auto_;
    std::string functionName_;
    std::string unknownText_;
};

}  // namespace realtime
