#include "app/menu_bar_view.hpp"

#include <utility>

#include "app/menu_bar_state_manager.hpp"
#include "app/session_manager.hpp"
#include "app/usage_manager.hpp"
#include "app/usage_response.hpp"
#include "platform/desktop/updater.hpp"
#include "platform/desktop/url_opener.hpp"
#include "shortcuts/shortcut_layer.hpp"

namespace kestro {

MenuBarView::MenuBarView(Parts parts) : parts_(std::move(parts)), usageManager_(std::make_shared<UsageManager>()) {
    auto& session = *parts_.sessionManager;
    auto notify = [this](const auto&) { changed(); };
    subscriptions_.push_back(parts_.stateManager->currentState.observe([this](MenuBarState state) { stateChanged(state); }));
    subscriptions_.push_back(session.isConversationActive.observe(notify));
    subscriptions_.push_back(session.isStartingSession.observe(notify));
    subscriptions_.push_back(session.isSendingTranscript.observe(notify));
    subscriptions_.push_back(session.errorMessage.observe(notify));
    subscriptions_.push_back(usageManager_->usedCalls.observe(notify));
    subscriptions_.push_back(usageManager_->totalCalls.observe(notify));
    if (parts_.credentialMissing) subscriptions_.push_back(parts_.credentialMissing->observe(notify));
    if (parts_.credentialRejected) subscriptions_.push_back(parts_.credentialRejected->observe(notify));
    if (parts_.updater) {
        subscriptions_.push_back(parts_.updater->observeCanCheckForUpdates([this](bool) { changed(); }));
    }
    usageObserver_ = parts_.notifications->addObserver(usageUpdatedNotification, [this](const platform::Notification& note) {
        const auto* usage = note.get<UsageResponse>("usage");
        if (!usage) return;
        usageManager_->usedCalls = usage->used;
        usageManager_->totalCalls = usage->total;
    });
    shortcutObserver_ = parts_.notifications->addObserver(GlobalShortcuts::shortcutByNameDidChangeNotification,
                                                          [this](const platform::Notification&) { changed(); });
}

MenuBarView::~MenuBarView() = default;

MenuInputs MenuBarView::inputs() const {
    const auto& session = *parts_.sessionManager;
    MenuInputs in;
    in.state = heldState_.value_or(parts_.stateManager->currentState.get());
    in.isConversationActive = session.isConversationActive.get();
    in.isStartingSession = session.isStartingSession.get();
    in.isSendingTranscript = session.isSendingTranscript.get();
    in.errorMessage = session.errorMessage.get();
    in.isCredentialMissing = parts_.credentialMissing && parts_.credentialMissing->get();
    in.isCredentialRejected = parts_.credentialRejected && parts_.credentialRejected->get();
    if (!parts_.credentialCommand.empty()) in.credentialCommand = parts_.credentialCommand;
    if (parts_.shortcutText) {
        in.startShortcutText = parts_.shortcutText("startSession");
        in.endShortcutText = parts_.shortcutText("endSession");
    }
    if (parts_.shortcutKeys) {
        in.startShortcutKeys = parts_.shortcutKeys("startSession");
        in.endShortcutKeys = parts_.shortcutKeys("endSession");
    }
    in.usedCalls = usageManager_->usedCalls.get();
    in.totalCalls = usageManager_->totalCalls.get();
    in.streakText = parts_.upcomingStreakText ? parts_.upcomingStreakText() : streakText_;
    in.canCheckForUpdates = parts_.updater && parts_.updater->canCheckForUpdates();
    return in;
}

std::vector<MenuEntry> MenuBarView::menu() const { return buildMenu(inputs()); }

void MenuBarView::setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

void MenuBarView::changed() {
    if (changeHandler_) changeHandler_();
}

void MenuBarView::start() {
    parts_.sessionManager->setUsageManager(usageManager_);
    parts_.stateManager->refreshState();
}

void MenuBarView::appear() {
    parts_.sessionManager->setUsageManager(usageManager_);
    startWhenSettled_ = false;
    if (parts_.streakText) {
        auto text = parts_.streakText();
        if (text != streakText_) {
            streakText_ = std::move(text);
            changed();
        }
    }
    const auto shown = parts_.stateManager->currentState.get();
    if (parts_.schedule && shown != MenuBarState::connecting) {
        heldState_ = shown;
        const auto generation = ++holdGeneration_;
        parts_.schedule(parts_.openingGrace, [this, alive = std::weak_ptr<bool>(alive_), generation] {
            if (alive.expired() || generation != holdGeneration_ || !heldState_) return;
            endHold();
        });
    }
    parts_.stateManager->refreshState();
}

void MenuBarView::stateChanged(MenuBarState state) {
    if (state == MenuBarState::connecting) {
        changed();
        return;
    }
    // The refresh has settled: a hold ends with the state it settled on, and a start chosen
    // during the hold is made now, the controller's own checks applying.
    const bool start = std::exchange(startWhenSettled_, false);
    if (heldState_) {
        endHold();
    } else {
        changed();
    }
    if (start) parts_.sessionManager->startSession();
}

void MenuBarView::endHold() {
    heldState_.reset();
    ++holdGeneration_;
    changed();
}

void MenuBarView::trigger(std::string_view id) {
    if (id == entryId(MenuBarItem::startCall)) {
        if (heldState_ && parts_.stateManager->currentState.get() == MenuBarState::connecting) {
            startWhenSettled_ = true;
            return;
        }
        parts_.sessionManager->startSession();
    } else if (id == entryId(MenuBarItem::endCall)) {
        parts_.sessionManager->endSession();
    } else if (id == entryId(MenuBarItem::requestIncrease) || id == menu_ids::support) {
        if (parts_.urlOpener) parts_.urlOpener->openURLString(supportLink());
    } else if (id == menu_ids::checkForUpdates) {
        if (parts_.updater) parts_.updater->checkForUpdates();
    } else if (id == entryId(MenuBarItem::quit)) {
        if (parts_.quit) parts_.quit();
    }
}

void MenuBarView::handleStartShortcut() {
    auto state = parts_.stateManager->currentState.get();
    if (state != MenuBarState::callsAvailable && state != MenuBarState::callsUsedUp) return;
    const auto& session = *parts_.sessionManager;
    if (session.isConversationActive.get() || session.isStartingSession.get() || session.isSendingTranscript.get()) {
        return;
    }
    parts_.sessionManager->startSession();
}

void MenuBarView::handleEndShortcut() {
    // Ends a call, or gives up one still starting.
    const auto& session = *parts_.sessionManager;
    if (session.isConversationActive.get() || session.isStartingSession.get()) parts_.sessionManager->endSession();
}

std::string MenuBarView::supportLink() const { return "mailto:" + parts_.supportAddress; }

}  // namespace kestro
