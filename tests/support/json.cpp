#include "support/json.hpp"

#include <stdexcept>

#include "platform/json/json.hpp"

namespace support {

namespace {

Json fromValue(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null:
            return nullptr;
        case boost::json::kind::bool_:
            return value.get_bool();
        case boost::json::kind::int64:
            return value.get_int64();
        case boost::json::kind::uint64:
            return value.get_uint64();
        case boost::json::kind::double_:
            return value.get_double();
        case boost::json::kind::string:
            return std::string_view(value.get_string());
        case boost::json::kind::array: {
            Json::Elements elements;
            for (const auto& element : value.get_array()) elements.push_back(fromValue(element));
            return Json::fromVariant(std::move(elements));
        }
        case boost::json::kind::object: {
            Json::Members members;
            for (const auto& member : value.get_object()) {
                members.emplace_back(std::string(member.key()), fromValue(member.value()));
            }
            return Json::fromVariant(std::move(members));
        }
    }
    return nullptr;
}

boost::json::value toValue(const Json& json) {
    return std::visit(
        [](const auto& value) -> boost::json::value {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return nullptr;
            } else if constexpr (std::is_same_v<T, Json::Elements>) {
                boost::json::array array;
                for (const auto& element : value) array.push_back(toValue(element));
                return array;
            } else if constexpr (std::is_same_v<T, Json::Members>) {
                boost::json::object object;
                for (const auto& [key, member] : value) object[key] = toValue(member);
                return object;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return boost::json::string_view(value.data(), value.size());
            } else {
                return value;
            }
        },
        json.variant());
}

template <class Number>
bool numberEquals(Number a, const Json::Variant& b) {
    auto equals = [a](auto other) {
        if constexpr (std::is_integral_v<Number> && std::is_integral_v<decltype(other)>) {
            return std::cmp_equal(a, other);
        } else {
            return static_cast<double>(a) == static_cast<double>(other);
        }
    };
    if (const auto* i = std::get_if<std::int64_t>(&b)) return equals(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&b)) return equals(*u);
    if (const auto* d = std::get_if<double>(&b)) return equals(*d);
    return false;
}

}  // namespace

Json::Json(std::initializer_list<Json> elements) {
    bool isObject = true;
    for (const auto& element : elements) {
        const auto* pair = std::get_if<Elements>(&element.value_);
        if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string()) {
            isObject = false;
            break;
        }
    }
    if (isObject) {
        Members members;
        for (const auto& element : elements) {
            const auto& pair = std::get<Elements>(element.value_);
            members.emplace_back(std::get<std::string>(pair[0].value_), pair[1]);
        }
        value_ = std::move(members);
    } else {
        value_ = Elements(elements);
    }
}

Json Json::parse(std::string_view text) {
    std::string error;
    auto value = platform::json::read(text, &error, {.maxDepth = 100000});
    if (!value) throw std::invalid_argument("not JSON (" + error + "): " + std::string(text.substr(0, 200)));
    return fromValue(*value);
}

Json Json::parse(std::string_view text, std::nullptr_t, bool allowExceptions) {
    if (allowExceptions) return parse(text);
    auto value = platform::json::read(text, nullptr, {.maxDepth = 100000});
    if (!value) {
        Json discarded;
        discarded.discarded_ = true;
        return discarded;
    }
    return fromValue(*value);
}

bool Json::contains(std::string_view key) const {
    if (const auto* members = std::get_if<Members>(&value_)) {
        for (const auto& member : *members) {
            if (member.first == key) return true;
        }
    }
    return false;
}

std::size_t Json::size() const {
    if (const auto* members = std::get_if<Members>(&value_)) return members->size();
    if (const auto* elements = std::get_if<Elements>(&value_)) return elements->size();
    return is_null() ? 0 : 1;
}

Json& Json::operator[](std::string_view key) {
    if (is_null()) value_ = Members{};
    auto& members = std::get<Members>(value_);
    for (auto& member : members) {
        if (member.first == key) return member.second;
    }
    return members.emplace_back(std::string(key), Json()).second;
}

const Json& Json::at(std::string_view key) const {
    if (const auto* members = std::get_if<Members>(&value_)) {
        for (const auto& member : *members) {
            if (member.first == key) return member.second;
        }
    }
    throw std::out_of_range("no member \"" + std::string(key) + "\" in " + dump());
}

Json& Json::operator[](std::size_t index) { return std::get<Elements>(value_).at(index); }
const Json& Json::operator[](std::size_t index) const { return std::get<Elements>(value_).at(index); }

void Json::push_back(Json element) {
    if (is_null()) value_ = Elements{};
    std::get<Elements>(value_).push_back(std::move(element));
}

void Json::update(const Json& other) {
    for (const auto& [key, value] : std::get<Members>(other.value_)) (*this)[key] = value;
}

std::size_t Json::erase(std::string_view key) {
    auto* members = std::get_if<Members>(&value_);
    if (members == nullptr) return 0;
    return std::erase_if(*members, [&](const auto& member) { return member.first == key; });
}

template <>
std::string Json::get<std::string>() const {
    return std::get<std::string>(value_);
}

template <>
std::int64_t Json::get<std::int64_t>() const {
    if (const auto* u = std::get_if<std::uint64_t>(&value_)) return static_cast<std::int64_t>(*u);
    if (const auto* d = std::get_if<double>(&value_)) return static_cast<std::int64_t>(*d);
    return std::get<std::int64_t>(value_);
}

template <>
double Json::get<double>() const {
    if (const auto* i = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&value_)) return static_cast<double>(*u);
    return std::get<double>(value_);
}

template <>
bool Json::get<bool>() const {
    return std::get<bool>(value_);
}

std::string Json::value(std::string_view key, std::string fallback) const {
    return contains(key) && at(key).is_string() ? at(key).get<std::string>() : fallback;
}

std::string Json::dump() const { return platform::json::write(toValue(*this), {.sortKeys = true}); }

bool operator==(const Json& a, const Json& b) {
    if (a.discarded_ || b.discarded_) return a.discarded_ == b.discarded_;
    if (const auto* i = std::get_if<std::int64_t>(&a.value_)) return numberEquals(*i, b.value_);
    if (const auto* u = std::get_if<std::uint64_t>(&a.value_)) return numberEquals(*u, b.value_);
    if (const auto* d = std::get_if<double>(&a.value_)) return numberEquals(*d, b.value_);
    if (const auto* members = std::get_if<Json::Members>(&a.value_)) {
        const auto* others = std::get_if<Json::Members>(&b.value_);
        if (others == nullptr || others->size() != members->size()) return false;
        for (const auto& [key, value] : *members) {
            if (!b.contains(key) || !(b.at(key) == value)) return false;
        }
        return true;
    }
    return a.value_ == b.value_;
}

}  // namespace support
