// What a tray host reads of the menu: Qt tells a host to read the exported menu again for every
// action that is added, removed or changed, and gives an action a new exported id each time it is
// put into the menu. So an update that changes nothing must touch no action, and an entry that
// goes and comes back must be the same action in the same menu. Also the icons the export carries.

#include <gtest/gtest.h>

#include <QAction>
#include <QActionEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <cmath>
#include <functional>
#include <map>

#include "app/view/symbol_icons.hpp"
#include "app/view/themed_icons.hpp"
#include "app/view/tray_presenter.hpp"
#include "qt_test_application.hpp"

namespace {

using kestro::MenuBarState;
using kestro::MenuColour;
using kestro::MenuInputs;
using kestro::view::TrayPresenter;

// Counts the events by which Qt's menu export learns of a change.
class ExportChanges : public QObject {
public:
    explicit ExportChanges(QMenu* menu) { watch(menu); }
    void watch(QMenu* menu) { menu->installEventFilter(this); }

    int changed = 0;
    int added = 0;
    int removed = 0;
    int total() const { return changed + added + removed; }
    void reset() { changed = added = removed = 0; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ActionChanged) ++changed;
        if (event->type() == QEvent::ActionAdded) ++added;
        if (event->type() == QEvent::ActionRemoved) ++removed;
        return false;
    }
};

// The rows a host shows: the visible actions, by entry id ("---" for a divider).
std::vector<std::string> shownRows(QMenu* menu) {
    std::vector<std::string> rows;
    for (auto* action : menu->actions()) {
        if (!action->isVisible()) continue;
        rows.push_back(action->isSeparator() ? "---" : action->objectName().toStdString());
    }
    return rows;
}

std::vector<std::string> modelRows(const std::vector<kestro::MenuEntry>& entries) {
    std::vector<std::string> rows;
    for (const auto& entry : entries) {
        if (entry.kind != kestro::MenuEntryKind::divider && entry.title.empty()) continue;
        rows.push_back(entry.kind == kestro::MenuEntryKind::divider ? "---" : entry.id);
    }
    return rows;
}

class MenuExport : public ::testing::Test {
protected:
    void SetUp() override {
        kestro::test::qtApplication();
        inputs.state = MenuBarState::callsAvailable;
        inputs.usedCalls = 2;
        inputs.totalCalls = 10;
        inputs.streakText = "1 Week Streak";
        inputs.startShortcutText = "⌃P";
        inputs.startShortcutKeys = "Ctrl+P";
    }
    TrayPresenter::Callbacks callbacks() {
        return {[this] { return kestro::buildMenu(inputs); }, [](const std::string&) {}, [] {}};
    }
    MenuInputs inputs;
};

// The opening's round (settled, "Connecting", settled again) and the states of a call: each entry
// stays one action in the menu throughout, nothing is added or removed once every entry has been
// seen, and a refresh with the same inputs touches nothing, the error line included.
TEST_F(MenuExport, EntriesKeepTheirActionsAndARefreshThatChangesNothingTouchesNothing) {
    inputs.errorMessage = "No Headphones";
    TrayPresenter presenter(callbacks());
    ExportChanges changes(presenter.menu());
    std::map<std::string, QAction*> seen;
    auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        EXPECT_EQ(shownRows(presenter.menu()), modelRows(kestro::buildMenu(inputs)));
        for (auto* action : presenter.menu()->actions()) {
            EXPECT_EQ(seen.emplace(action->objectName().toStdString(), action).first->second, action);
        }
        changes.reset();
        presenter.refresh();
        EXPECT_EQ(changes.total(), 0) << "a refresh that changes nothing told the host of a change";
    };
    check("settled, with an error");
    inputs.errorMessage.reset();
    presenter.refresh();
    check("the error gone");

    std::vector<std::pair<const char*, std::function<void(MenuInputs&)>>> steps{
        {"connecting", [](MenuInputs& in) { in.state = MenuBarState::connecting; }},
        {"settled again", [](MenuInputs& in) { in.state = MenuBarState::callsAvailable; }},
        {"starting", [](MenuInputs& in) { in.isStartingSession = true; }},
        {"in a call", [](MenuInputs& in) {
             in.isStartingSession = false;
             in.isConversationActive = true;
         }},
        {"sending", [](MenuInputs& in) {
             in.isConversationActive = false;
             in.isSendingTranscript = true;
         }},
        {"used up", [](MenuInputs& in) {
             in.isSendingTranscript = false;
             in.state = MenuBarState::callsUsedUp;
         }},
        {"available, an error", [](MenuInputs& in) {
             in.state = MenuBarState::callsAvailable;
             in.errorMessage = "No Internet";
         }},
    };
    // The first round meets every entry once; the second must add and remove nothing.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const auto& [name, step] : steps) {
            step(inputs);
            changes.reset();
            presenter.refresh();
            const int added = changes.added, removed = changes.removed;
            if (round == 1) {
                EXPECT_EQ(added, 0) << name << ": an entry was put into the menu anew (a new exported id)";
                EXPECT_EQ(removed, 0) << name;
            }
            check(name);
        }
    }
}

// Entries new to the menu are placed by their rank among all entries; every menu the model gives
// must list its entries in rank order, or some change of state would have to move one.
TEST(MenuOrder, EveryStateListsItsEntriesInTheirRankOrder) {
    for (auto state : {MenuBarState::connecting, MenuBarState::callsAvailable, MenuBarState::callsUsedUp}) {
        for (int call = 0; call < 4; ++call) {
            for (bool error : {false, true}) {
                MenuInputs in;
                in.state = state;
                in.isStartingSession = call == 1;
                in.isConversationActive = call == 2;
                in.isSendingTranscript = call == 3;
                if (error) in.errorMessage = "No Microphone";
                in.streakText = "1 Week Streak";
                std::function<void(const std::vector<kestro::MenuEntry>&)> check =
                    [&](const std::vector<kestro::MenuEntry>& entries) {
                        int last = -1;
                        for (const auto& entry : entries) {
                            const int rank = kestro::entryRank(entry.id);
                            EXPECT_GT(rank, last) << entry.id << " in state " << static_cast<int>(state) << ", call "
                                                  << call << (error ? ", error" : "");
                            last = rank;
                            check(entry.children);
                        }
                    };
                check(kestro::buildMenu(in));
            }
        }
    }
}

// The counts that did not change at an opening change nothing; counts that did change only their row.
TEST_F(MenuExport, NewCountsChangeOnlyTheirRow) {
    TrayPresenter presenter(callbacks());
    ExportChanges changes(presenter.menu());
    inputs.usedCalls = 3;
    presenter.refresh();
    EXPECT_EQ(changes.total(), 1);
    EXPECT_EQ(presenter.action("callsUsed")->text(), "Calls Used: 3/10");
}

// Entries of the standard colour carry a theme icon name the host draws in its own text colour;
// coloured ones keep their colour as a picture. Where no theme has the name, the picture goes.
TEST_F(MenuExport, StandardEntriesExportThemeIconNamesAndColouredOnesTheirPictures) {
    TrayPresenter presenter(callbacks());
    const std::map<std::string, const char*> symbols{
        {"callsUsed", "chart.bar.fill"}, {"weekStreak", "flame.fill"}, {"more", "ellipsis.circle.fill"},
        {"quit", "xmark.circle.fill"}};
    for (const auto& [id, symbol] : symbols) {
        SCOPED_TRACE(id);
        auto icon = presenter.action(id)->icon();
        EXPECT_FALSE(icon.isNull());
        const auto named = kestro::view::themeIconName(symbol);
        if (kestro::view::themeHasIcon(named)) {
            EXPECT_EQ(icon.name(), named);
        } else {
            EXPECT_TRUE(icon.name().isEmpty()) << "a name no installed theme has";
        }
        EXPECT_FALSE(icon.pixmap(16, 16).isNull()) << "the menu Qt draws has its picture";
    }
    EXPECT_TRUE(presenter.action("startCall")->icon().name().isEmpty()) << "the green start is a picture";

    // Every symbol the menu uses has a name; a name is exported only where a theme holds it.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const auto icons = folder.path() + "/icons";
    for (const char* file : {"/Test/scalable/actions/list-add-symbolic.svg",
                             "/Test/16x16/actions/view-refresh-symbolic.symbolic.png", "/hicolor/48x48/apps/kestro.png"}) {
        QDir().mkpath(QFileInfo(icons + file).path());
        QFile touch(icons + file);
        ASSERT_TRUE(touch.open(QIODevice::WriteOnly));
    }
    using kestro::view::themeHasIcon;
    EXPECT_TRUE(themeHasIcon("list-add-symbolic", {icons}, {"Test"}));
    EXPECT_TRUE(themeHasIcon("view-refresh-symbolic", {icons}, {"Test"}));
    EXPECT_TRUE(themeHasIcon("kestro", {icons}, {"Test", "hicolor"}));
    EXPECT_FALSE(themeHasIcon("kestro", {icons}, {"Test"})) << "another theme's icon";
    EXPECT_FALSE(themeHasIcon("list-add", {icons}, {"Test"}));
    EXPECT_FALSE(themeHasIcon("application-exit-symbolic", {icons, folder.path() + "/none"}, {"Test", "Absent"}));
    for (const char* symbol :
         {"arrow.clockwise", "play.circle.fill", "hourglass", "stop.circle.fill", "chart.bar.fill", "flame.fill",
          "plus.circle.fill", "ellipsis.circle.fill", "xmark.circle.fill", "arrow.clockwise.circle.fill",
          "envelope.fill", "mic.slash.fill", "headphones", "wifi.slash", "key.slash.fill", "lock.slash.fill",
          "exclamationmark.triangle.fill"}) {
        const auto name = kestro::view::themeIconName(symbol);
        EXPECT_TRUE(name.endsWith("-symbolic")) << symbol << ": a host would not recolour it";
    }
}

double luminance(const QColor& colour) {
    auto channel = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    auto la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The coloured symbols reach a host's menu as pictures it cannot recolour: each colour reads at
// least 3:1 against a white menu and against the dark grey of a dark panel's menu.
TEST(MenuColours, EachStandsOutOnALightAndADarkMenu) {
    kestro::test::qtApplication();
    for (auto colour : {MenuColour::orange, MenuColour::green, MenuColour::gray, MenuColour::red}) {
        SCOPED_TRACE(static_cast<int>(colour));
        const auto drawn = kestro::view::menuColour(colour);
        EXPECT_GE(contrast(drawn, QColor(0xff, 0xff, 0xff)), 3.0) << drawn.name().toStdString();
        EXPECT_GE(contrast(drawn, QColor(0x2f, 0x2f, 0x2f)), 3.0) << drawn.name().toStdString();
    }
}

}  // namespace
