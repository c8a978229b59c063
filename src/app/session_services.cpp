#include "app/session_services.hpp"

#include "app/headphone_detector.hpp"
#include "app/menu_bar_state_manager.hpp"
#include "app/network_monitor.hpp"
#include "app/network_service.hpp"
#include "app/realtime_call_conversation.hpp"
#include "app/session_token.hpp"
#include "app/usage_manager.hpp"
#include "platform/audio/audio_device_facts.hpp"
#include "platform/network/network_path_monitor.hpp"
#include "platform/runtime/runtime.hpp"

namespace kestro {

namespace {

constexpr const char* realtimeModel = "gpt-4o-realtime-preview";

}  // namespace

SessionManager::Services makeSessionServices(platform::Runtime& runtime, const NetworkService& network,
                                             const MenuBarStateManager& menuState,
                                             std::shared_ptr<TranscriptManager> transcripts,
                                             std::shared_ptr<platform::AudioEngine> audioEngine) {
    SessionManager::Services services;
    services.callsAvailable = [&menuState] { return menuState.currentState.get() == MenuBarState::callsAvailable; };
    services.hasHeadphones = [] { return HeadphoneDetector::isHeadphoneConnected(); };
    services.hasMicrophone = [] { return platform::hasMicrophone(); };
    services.isNetworkReachable = [main = runtime.mainExecutor(), monitor = std::shared_ptr<NetworkMonitor>()]() mutable {
        if (!monitor) {
            try {
                monitor = NetworkMonitor::shared(main);
            } catch (const platform::NetworkPathMonitorError&) {
                // Without a view of the routing table the start is not refused; a call that cannot
                // connect still ends with its own error line.
                return true;
            }
        }
        return monitor->checkConnection();
    };
    services.fetchSessionToken = [&network](std::shared_ptr<UsageManager> usage) -> boost::asio::awaitable<std::string> {
        co_return co_await fetchSessionToken(network, usage.get());
    };
    services.makeConversation = [&runtime, audioEngine]() -> std::shared_ptr<CallConversation> {
        return std::make_shared<RealtimeCallConversation>(
            realtime::Conversation::createUnconnected(runtime, audioEngine), realtimeModel);
    };
    services.transcriptManager = std::move(transcripts);
    return services;
}

}  // namespace kestro
