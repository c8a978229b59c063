#pragma once
// What a desktop that binds shortcuts by name says triggers one ("Ctrl+Alt+K, Meta+K", or in its
// language "Strg+Alt+K") is text for people. It is read as keys only where that is certain: each
// alternative (the desktop joins them with ", ") must name exactly one combination that Qt writes
// back the same way, after the desktop's words for Qt's key names are taken back to Qt's own.

#include <QKeySequence>
#include <QLocale>
#include <QString>
#include <map>
#include <string>
#include <vector>

namespace GlobalShortcuts {

// The desktop's words for Qt's key names ("Strg" for "Ctrl"), from Qt's own translations.
class DesktopKeyWords {
public:
    DesktopKeyWords() = default;
    // From the toolkit translations installed for `language` (Qt 6's and Qt 5's folders); none
    // (Qt's own names only) where there are none.
    static DesktopKeyWords forLanguage(const QLocale& language);
    // From a table of the desktop's words to Qt's names.
    explicit DesktopKeyWords(std::map<QString, QString> nativeToPortable) : words_(std::move(nativeToPortable)) {}

    // Qt's name for a word of the desktop; the word itself when it has none.
    QString portable(const QString& word) const;

private:
    std::map<QString, QString> words_;
};

// The alternatives of the trigger, each one combination; empty when the text cannot be read as
// keys with certainty (then it is only shown as it is).
std::vector<QKeySequence> readDesktopTrigger(const QString& text, const DesktopKeyWords& words);

// The first alternative in Qt's portable text ("Ctrl+Alt+K"), for a menu another program draws;
// "" when the trigger cannot be read as keys.
std::string desktopTriggerKeys(const std::string& text, const DesktopKeyWords& words);

}  // namespace GlobalShortcuts
