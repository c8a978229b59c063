// The desktop's text for what triggers a shortcut, read as keys only where that is certain.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "shortcuts/qt/desktop_trigger.hpp"

namespace {

using GlobalShortcuts::DesktopKeyWords;
using GlobalShortcuts::desktopTriggerKeys;
using GlobalShortcuts::readDesktopTrigger;

const DesktopKeyWords english;
const DesktopKeyWords german({{"Strg", "Ctrl"}, {"Umschalt", "Shift"}, {"Leertaste", "Space"}});

TEST(DesktopTrigger, QtsOwnWordsAreReadAsTheirKeys) {
    EXPECT_EQ(desktopTriggerKeys("Ctrl+P", english), "Ctrl+P");
    EXPECT_EQ(desktopTriggerKeys("Ctrl+Shift+F5", english), "Ctrl+Shift+F5");
    EXPECT_EQ(desktopTriggerKeys("Meta+Space", english), "Meta+Space");
    EXPECT_EQ(desktopTriggerKeys("Ctrl++", english), "Ctrl++");
}

// KDE joins alternatives with ", ": they stay alternatives, never one chord after another.
TEST(DesktopTrigger, AlternativesStayAlternatives) {
    auto keys = readDesktopTrigger("Ctrl+Alt+K, Meta+K", english);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_K));
    EXPECT_EQ(keys[1], QKeySequence(Qt::META | Qt::Key_K));
    for (const auto& key : keys) EXPECT_EQ(key.count(), 1);
    EXPECT_EQ(desktopTriggerKeys("Ctrl+Alt+K, Meta+K", english), "Ctrl+Alt+K");
}

TEST(DesktopTrigger, TheDesktopsLanguageIsReadWithItsWords) {
    EXPECT_EQ(desktopTriggerKeys("Strg+P", german), "Ctrl+P");
    EXPECT_EQ(desktopTriggerKeys("Strg+Umschalt+Leertaste", german), "Ctrl+Shift+Space");
    auto keys = readDesktopTrigger("Strg+Alt+K, Meta+K", german);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_K));
}

// What cannot be read with certainty yields no keys (the text is then only shown): words of
// another language, prose, a chord sequence, an empty text.
TEST(DesktopTrigger, TextThatIsNotCertainlyKeysYieldsNone) {
    EXPECT_TRUE(readDesktopTrigger("Strg+P", english).empty());
    EXPECT_TRUE(readDesktopTrigger("Press the red button", english).empty());
    EXPECT_TRUE(readDesktopTrigger("Ctrl+P,Ctrl+M", english).empty());
    EXPECT_TRUE(readDesktopTrigger("", english).empty());
    EXPECT_TRUE(readDesktopTrigger("Ctrl+", english).empty());
    EXPECT_TRUE(readDesktopTrigger("Ctrl+P, Strg+M", english).empty()) << "one unreadable alternative: none";
    EXPECT_EQ(desktopTriggerKeys("Strg+P", english), "");
}

// The words come from the toolkit translations the system has (KDE Plasma 5 writes German with
// Qt 5's).
TEST(DesktopTrigger, GermanWordsComeFromTheInstalledTranslations) {
    bool installed = QFile::exists("/usr/share/qt5/translations/qtbase_de.qm") ||
                     QFile::exists("/usr/share/qt6/translations/qtbase_de.qm");
    if (!installed) GTEST_SKIP() << "no German Qt translations (qttranslations5-l10n; scripts/install-deps.sh installs it)";
    auto words = DesktopKeyWords::forLanguage(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(words.portable("Strg"), "Ctrl");
    EXPECT_EQ(desktopTriggerKeys("Strg+Alt+K, Meta+K", words), "Ctrl+Alt+K");
    EXPECT_EQ(desktopTriggerKeys("Ctrl+M", words), "Ctrl+M") << "Qt's own words still read";
}

}  // namespace
