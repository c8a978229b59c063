#include "analytics/util/value.hpp"

#include <cmath>
#include <stdexcept>

namespace plover {

namespace {

// Whether a JSON value holds only finite numbers.
bool isFinite(const json::value& value) {
    switch (value.kind()) {
        case json::kind::double_:
            return std::isfinite(value.get_double());
        case json::kind::array:
            for (auto& element : value.get_array()) {
                if (!isFinite(element)) return false;
            }
            return true;
        case json::kind::object:
            for (auto& entry : value.get_object()) {
                if (!isFinite(entry.value())) return false;
            }
            return true;
        default:
            return true;
    }
}

}  // namespace

const json::string* Value::string() const {
    auto* value = json();
    return value ? value->if_string() : nullptr;
}

bool Value::isDictionary() const { return object() || (json() && json()->is_object()); }

bool Value::isArray() const { return array() || (json() && json()->is_array()); }

std::optional<json::value> Value::toJson() const {
    if (auto* value = json()) {
        if (!isFinite(*value)) return std::nullopt;
        return *value;
    }
    if (auto* elements = array()) {
        json::array out;
        out.reserve(elements->size());
        for (auto& element : *elements) {
            auto converted = element.toJson();
            if (!converted) return std::nullopt;
            out.push_back(std::move(*converted));
        }
        return json::value(std::move(out));
    }
    if (auto* entries = object()) {
        auto converted = propertiesToJson(*entries);
        if (!converted) return std::nullopt;
        return json::value(std::move(*converted));
    }
    return std::nullopt;
}

bool operator==(const Value& a, const Value& b) {
    auto first = a.toJson();
    auto second = b.toJson();
    if (first && second) return *first == *second;
    if (first || second) return false;
    return a.storage_ == b.storage_;
}

Properties propertiesFromJson(const json::object& object) {
    Properties properties;
    for (auto& entry : object) properties.insert_or_assign(std::string(entry.key()), Value(entry.value()));
    return properties;
}

std::optional<json::object> propertiesToJson(const Properties& properties) {
    json::object out;
    out.reserve(properties.size());
    for (auto& [key, value] : properties) {
        auto converted = value.toJson();
        if (!converted) return std::nullopt;
        out.insert_or_assign(key, std::move(*converted));
    }
    return out;
}

json::object writeProperties(const Properties& properties) {
    json::object out;
    out.reserve(properties.size());
    for (auto& [key, value] : properties) {
        auto converted = value.toJson();
        if (!converted) throw JsonWriteError("the property \"" + key + "\" has no JSON form");
        out.insert_or_assign(key, std::move(*converted));
    }
    return out;
}

}  // namespace plover
