#pragma once
// A call's conversation with the realtime service, as the call controller sees it.

#include "app/session_manager.hpp"
#include "realtime/conversation/conversation.hpp"

#include <memory>
#include <string>

namespace kestro {

class RealtimeCallConversation : public CallConversation {
public:
    // `conversation` may be made without its connection; connect() opens one for `model`.
    RealtimeCallConversation(std::shared_ptr<realtime::Conversation> conversation, std::string model);

    void connect(const std::string& token) override;

    bool isConnected() const override;
    bool hasEnded() const override;
    std::exception_ptr audioFailure() const override;
    const std::vector<realtime::Item>& entries() const override;
    void startListening() override;
    void stopListening() override;
    boost::asio::awaitable<void> enableTranscription() override;

    realtime::Conversation& conversation() const { return *conversation_; }

private:
    std::shared_ptr<realtime::Conversation> conversation_;
    std::string model_;
    mutable bool wasConnected_ = false;
};

}  // namespace kestro
