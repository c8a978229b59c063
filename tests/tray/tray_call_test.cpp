// The presenter, the menu view and the call controller together on the Qt main executor.

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

#include "app/view/tray_presenter.hpp"
#include "menu_rig.hpp"
#include "platform/ui/qt_main_executor.hpp"
#include "qt_test_application.hpp"

namespace {

using kestro::MenuBarState;
using kestro::test::processEventsUntil;

TEST(TrayCall, ChoosingStartAndEndCallInTheMenuDrivesTheController) {
    kestro::test::qtApplication();
    platform::QtExecutionContext context;
    kestro::test::MenuRig rig(context.get_executor());
    auto& view = *rig.view;
    kestro::view::TrayPresenter presenter({[&] { return view.menu(); },
                                           [&](const std::string& id) { view.trigger(id); },
                                           [&] { view.appear(); }});
    view.setChangeHandler([&] { presenter.refresh(); });

    presenter.menu()->popup(QPoint(10, 10));
    ASSERT_TRUE(processEventsUntil(
        [&] { return rig.stateManager->currentState.get() == MenuBarState::callsAvailable; }));
    EXPECT_EQ(presenter.menu()->actions().front()->text(), "Start Call");
    EXPECT_EQ(presenter.action("callsUsed")->text(), "Calls Used: 3/10");
    EXPECT_EQ(rig.environment.backend.requestsTo("/usage").size(), 1u) << "showing the menu refreshes once";

    presenter.action("startCall")->trigger();
    ASSERT_TRUE(processEventsUntil([&] { return rig.sessionManager->isConversationActive.get(); }));
    QAction* end = presenter.menu()->actions().front();
    EXPECT_EQ(end, presenter.action("endCall"));
    EXPECT_TRUE(end->isEnabled());
    EXPECT_TRUE(presenter.menu()->isVisible());
    EXPECT_EQ(rig.usageHandedToFetch, view.usageManager()) << "the fetch updates the counts the menu shows";

    end->trigger();
    EXPECT_FALSE(rig.sessionManager->isConversationActive.get());
    EXPECT_TRUE(processEventsUntil([&] { return !rig.sessionManager->isSendingTranscript.get(); }));
    EXPECT_EQ(presenter.menu()->actions().front()->text(), "Start Call");
    presenter.menu()->hide();
}

}  // namespace
