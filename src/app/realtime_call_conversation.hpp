#pragma once
// A call's conversation with the realtime service, as the call controller sees it.

#include "app/session_manager.hpp"
#include "realtime/conversation/conversation.hpp"

#include <memory>

namespace kestro {

class RealtimeCallConversation : public CallConversation {
public:
    explicit RealtimeCallConversation(std::shared_ptr<realtime::Conversation> conversation);

    bool isConnected() const override;
    bool hasEnded() const override;
    const std::vector<realtime::Item>& entries() const override;
    void startListening() override;
    void stopListening() override;
    boost::asio::awaitable<void> enableTranscription() override;

    realtime::Conversation& conversation() const { return *conversation_; }

private:
    std::shared_ptr<realtime::Conversation> conversation_;
    mutable bool wasConnected_ = false;
};

}  // namespace kestro
