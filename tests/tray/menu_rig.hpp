#pragma once
// The menu's whole cast for tests: the menu state fed by the fake backend, a call controller with
// a scripted conversation, the usage counts, the streak and the view that ties them together, all
// living on one given main executor.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/menu_bar_state_manager.hpp"
#include "app/menu_bar_view.hpp"
#include "app/session_manager.hpp"
#include "app/streak_manager.hpp"
#include "app/transcript_manager.hpp"
#include "platform/desktop/url_opener.hpp"
#include "platform/notifications/notification_center.hpp"
#include "support/backend_environment.hpp"

namespace kestro::test {

class ScriptedConversation : public CallConversation {
public:
    bool connected = true;
    std::vector<realtime::Item> items;
    bool isConnected() const override { return connected; }
    bool hasEnded() const override { return false; }
    const std::vector<realtime::Item>& entries() const override { return items; }
    void connect(const std::string& token) override { tokens.push_back(token); }
    void startListening() override { listening = true; }
    void stopListening() override { listening = false; }
    std::vector<std::string> tokens;
    bool listening = false;
    boost::asio::awaitable<void> enableTranscription() override { co_return; }
};

class RecordingOpener : public platform::UrlOpener {
public:
    std::vector<std::string> opened;
    void open(const platform::Url& url) override { opened.push_back(url.text()); }
};

struct MenuRig {
    explicit MenuRig(boost::asio::any_io_executor main, bool withCredential = true,
                     std::string supportAddress = "help@kestro.app") {
        if (withCredential) environment.storeCredential();
        environment.backend.setReply("/usage",
                                     support::ScriptedReply::json(200, R"({"used": 3, "total": 10})"));
        environment.backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
        stateManager = std::make_unique<MenuBarStateManager>(
            main, main, [this] { return fetchUsage(environment.network); }, notifications,
            std::chrono::milliseconds(20));

        SessionManager::Services services;
        services.callsAvailable = [this] {
            return stateManager->currentState.get() == MenuBarState::callsAvailable;
        };
        services.hasHeadphones = [] { return true; };
        services.isNetworkReachable = [] { return true; };
        services.hasMicrophone = [] { return true; };
        services.fetchSessionToken =
            [this, main](std::shared_ptr<UsageManager> usage) -> boost::asio::awaitable<std::string> {
            usageHandedToFetch = usage;
            if (fetchHangs) {
                // A backend that never answers: only cancelling the start ends the wait.
                boost::asio::steady_timer never(main, std::chrono::hours(1));
                co_await never.async_wait(boost::asio::use_awaitable);
            }
            co_return "call-secret";
        };
        services.makeConversation = [this] {
            conversations.push_back(std::make_shared<ScriptedConversation>());
            return conversations.back();
        };
        services.transcriptManager = std::make_shared<TranscriptManager>(environment.network, std::nullopt);
        sessionManager = SessionManager::create(main, main, std::move(services));

        view = std::make_unique<MenuBarView>(MenuBarView::Parts{
            .stateManager = stateManager.get(),
            .sessionManager = sessionManager,
            .updater = nullptr,
            .urlOpener = &opener,
            .notifications = &notifications,
            .credentialMissing = &stateManager->isCredentialMissing,
            .credentialRejected = &stateManager->isCredentialRejected,
            .credentialCommand = "scripts/run.sh --set-credential",
            .shortcutText = [this](std::string_view name) { return shortcutTexts[std::string(name)]; },
            .shortcutKeys = [this](std::string_view name) { return shortcutKeys[std::string(name)]; },
            .streakText = [this] { return streak.streakText(); },
            .supportAddress = std::move(supportAddress),
            .quit = [this] { ++quits; },
        });
    }

    support::BackendEnvironment environment;
    platform::NotificationCenter notifications;
    RecordingOpener opener;
    StreakManager streak{environment.defaults};
    std::unique_ptr<MenuBarStateManager> stateManager;
    std::shared_ptr<SessionManager> sessionManager;
    std::vector<std::shared_ptr<ScriptedConversation>> conversations;
    std::shared_ptr<UsageManager> usageHandedToFetch;
    bool fetchHangs = false;
    std::unique_ptr<MenuBarView> view;
    int quits = 0;
    // What the rig's view reads as the stored shortcuts' display strings.
    std::map<std::string, std::string> shortcutTexts{{"startSession", "⌃P"}, {"endSession", "⌃M"}};
    std::map<std::string, std::string> shortcutKeys{{"startSession", "Ctrl+P"}, {"endSession", "Ctrl+M"}};
};

// The menu's lines: titles, "---" for dividers.
inline std::vector<std::string> menuLines(const std::vector<MenuEntry>& menu) {
    std::vector<std::string> lines;
    for (const auto& entry : menu)
        lines.push_back(entry.kind == MenuEntryKind::divider ? "---" : entry.title);
    return lines;
}

}  // namespace kestro::test
