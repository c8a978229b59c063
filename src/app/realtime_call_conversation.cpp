#include "app/realtime_call_conversation.hpp"

#include "platform/audio/audio_errors.hpp"
#include "realtime/model/session.hpp"

namespace kestro {

RealtimeCallConversation::RealtimeCallConversation(std::shared_ptr<realtime::Conversation> conversation,
                                                   std::string model)
    : conversation_(std::move(conversation)), model_(std::move(model)) {}

void RealtimeCallConversation::connect(const std::string& token) { conversation_->connect(token, model_); }

bool RealtimeCallConversation::isConnected() const { return conversation_->connected().get(); }

bool RealtimeCallConversation::hasEnded() const {
    // `connected` goes back to false only when the connection has ended.
    const bool connected = conversation_->connected().get();
    if (connected) wasConnected_ = true;
    return conversation_->connectionError().get() != nullptr || (wasConnected_ && !connected);
}

std::exception_ptr RealtimeCallConversation::audioFailure() const { return conversation_->audioError().get(); }

const std::vector<realtime::Item>& RealtimeCallConversation::entries() const {
    return conversation_->entries().get();
}

void RealtimeCallConversation::startListening() {
    try {
        conversation_->startListening();
    } catch (const realtime::ConversationError& error) {
        // The microphone's audio cannot be converted: a capture failure like the audio layer's own.
        if (error.code() == realtime::ConversationError::Code::converterInitializationFailed) {
            throw platform::ConverterCreationError();
        }
        throw;
    }
}

void RealtimeCallConversation::stopListening() { conversation_->stopListening(); }

boost::asio::awaitable<void> RealtimeCallConversation::enableTranscription() {
    using Transcription = realtime::Session::InputAudioTranscription;
    co_await conversation_->updateSession([](realtime::Session& session) {
        session.inputAudioTranscription = Transcription{Transcription::TranscriptionModel::whisper, std::nullopt, std::nullopt};
    });
}

}  // namespace kestro
