#include "realtime/model/client_event.hpp"

namespace realtime {

ClientEvent ClientEvent::updateSession(Id id, Session session) {
    return Payload(SessionUpdateEvent{std::move(id), std::move(session)});
}

ClientEvent ClientEvent::appendInputAudioBuffer(Id id, std::span<const std::uint8_t> encoding) {
    return Payload(InputAudioBufferAppendEvent{std::move(id), base64Encode(encoding)});
}

ClientEvent ClientEvent::commitInputAudioBuffer(Id id) { return Payload(InputAudioBufferCommitEvent{std::move(id)}); }

ClientEvent ClientEvent::clearInputAudioBuffer(Id id) { return Payload(InputAudioBufferClearEvent{std::move(id)}); }

ClientEvent ClientEvent::createConversationItem(Id id, std::optional<std::string> previous, Item item) {
    return Payload(ConversationItemCreateEvent{std::move(id), std::move(previous), std::move(item)});
}

ClientEvent ClientEvent::truncateConversationItem(Id id, std::string forItem, std::int64_t at,
                                                  std::int64_t atAudioMs) {
    return Payload(ConversationItemTruncateEvent{std::move(id), std::move(forItem), at, atAudioMs});
}

ClientEvent ClientEvent::deleteConversationItem(Id id, std::optional<std::string> forItem, std::int64_t at,
                                                std::int64_t atAudio) {
    return Payload(ConversationItemDeleteEvent{std::move(id), std::move(forItem), at, atAudio});
}

ClientEvent ClientEvent::createResponse(Id id, std::optional<Response::Config> config) {
    return Payload(ResponseCreateEvent{std::move(id), std::move(config)});
}

ClientEvent ClientEvent::cancelResponse(Id id) { return Payload(ResponseCancelEvent{std::move(id)}); }

}  // namespace realtime
