// A conversation made before its connection: a call can listen while its credential is still
// being fetched, and the connection is given to the conversation once the credential is back.

#include <stdexcept>

#include "realtime/conversation/conversation.hpp"
#include "realtime/conversation/microphone_stream.hpp"

namespace realtime {

std::shared_ptr<Conversation> Conversation::createUnconnected(platform::Runtime& runtime,
                                                              std::shared_ptr<platform::AudioEngine> audioEngine) {
    return create(runtime, std::shared_ptr<RealtimeAPI>(), std::move(audioEngine));
}

void Conversation::connect(std::shared_ptr<RealtimeAPI> client) {
    if (client_) throw std::logic_error("The conversation has a connection already");
    if (!client) throw std::invalid_argument("No connection given to the conversation");
    client_ = std::move(client);
    startReceiving();
    watchDisconnect();
    // Last: the backlog's first chunk is queued on the connection after nothing else of ours.
    microphone_->connect(client_);
}

void Conversation::connect(const std::string& authToken, const std::string& model) {
    connect(RealtimeAPI::webSocket(shared_, authToken, model));
}

std::shared_ptr<RealtimeAPI> Conversation::connection() const {
    if (!client_) throw ConversationError(ConversationError::Code::notConnected);
    return client_;
}

}  // namespace realtime
