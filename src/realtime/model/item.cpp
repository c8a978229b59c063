#include "realtime/model/item.hpp"

namespace realtime {

Item::Message::Content::Content(const ContentPart& part)
    : kind_(part.kind() == ContentPart::Kind::text ? Kind::text : Kind::audio) {
    if (const auto* text = part.text()) {
        value_ = *text;
    } else {
        value_ = *part.audio();
    }
}

std::optional<std::string> Item::Message::Content::text() const {
    if (const auto* text = textValue()) return *text;
    return audio()->transcript;
}

const std::string& Item::id() const {
    return std::visit([](const auto& record) -> const std::string& { return record.id; }, value);
}

}  // namespace realtime
