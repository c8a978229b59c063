// A conversation made before its connection: a call can listen while its credential is still
// being fetched, and the connection is given to the conversation once the credential is back.

#include <stdexcept>

#include "realtime/conversation/conversation.hpp"
#include "realtime/conversation/microphone_stream.hpp"

namespace realtime {

namespace {

void refuseASecondConnection(const std::shared_ptr<RealtimeAPI>& current) {
    if (current) throw std::logic_error("The conversation has a connection already");
}

}  // namespace

std::shared_ptr<Conversation> Conversation::createUnconnected(platform::Runtime& runtime,
                                                              std::shared_ptr<platform::AudioEngine> audioEngine) {
    return create(runtime, std::shared_ptr<RealtimeAPI>(), std::move(audioEngine));
}

void Conversation::connect(std::shared_ptr<RealtimeAPI> client) {
    refuseASecondConnection(client_);
    if (!client) throw std::invalid_argument("No connection given to the conversation");
    client_ = std::move(client);
    startReceiving();
    watchDisconnect();
    // Last: the backlog's first chunk is queued on the connection after nothing else of ours.
    microphone_->connect(client_);
}

void Conversation::connect(const std::string& authToken, const std::string& model) {
    // Checked before the connection is made: a connector starts opening as soon as it exists,
    // and a refused second one would still have carried its credential to the service.
    refuseASecondConnection(client_);
    connect(RealtimeAPI::webSocket(shared_, authToken, model));
}

std::shared_ptr<RealtimeAPI> Conversation::connection() const {
    if (!client_) throw ConversationError(ConversationError::Code::notConnected);
    return client_;
}

}  // namespace realtime
