#include "app/usage_response.hpp"

#include <nlohmann/json.hpp>

namespace kestro {

using nlohmann::json;

namespace {

std::int64_t requiredInteger(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw UsageDecodingError(std::string("key not found: ") + key);
    if (found->is_number_unsigned()) {
        auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(INT64_MAX)) throw UsageDecodingError(std::string("number out of range: ") + key);
        return static_cast<std::int64_t>(value);
    }
    if (!found->is_number_integer()) throw UsageDecodingError(std::string("expected an integer: ") + key);
    return found->get<std::int64_t>();
}

}  // namespace

std::string encodeUsageResponse(const UsageResponse& usage) {
    return nlohmann::ordered_json{{"used", usage.used}, {"total", usage.total}}.dump();
}

UsageResponse decodeUsageResponse(std::string_view text) {
    json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) throw UsageDecodingError("the data is not valid JSON");
    if (!parsed.is_object()) throw UsageDecodingError("expected a JSON object");
    return UsageResponse{requiredInteger(parsed, "used"), requiredInteger(parsed, "total")};
}

}  // namespace kestro
