#include "app/usage_response.hpp"

#include "platform/json/json.hpp"

namespace kestro {

namespace {

std::int64_t requiredInteger(const platform::json::Object& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw UsageDecodingError(std::string("key not found: ") + key);
    const auto& value = found->value();
    if (value.is_uint64()) {
        if (value.get_uint64() > static_cast<std::uint64_t>(INT64_MAX)) {
            throw UsageDecodingError(std::string("number out of range: ") + key);
        }
        return static_cast<std::int64_t>(value.get_uint64());
    }
    if (!value.is_int64()) throw UsageDecodingError(std::string("expected an integer: ") + key);
    return value.get_int64();
}

}  // namespace

std::string encodeUsageResponse(const UsageResponse& usage) {
    return platform::json::write(platform::json::Object{{"used", usage.used}, {"total", usage.total}});
}

UsageResponse decodeUsageResponse(std::string_view text) {
    auto parsed = platform::json::read(text);
    if (!parsed) throw UsageDecodingError("the data is not valid JSON");
    if (!parsed->is_object()) throw UsageDecodingError("expected a JSON object");
    const auto& object = parsed->get_object();
    return UsageResponse{requiredInteger(object, "used"), requiredInteger(object, "total")};
}

}  // namespace kestro
