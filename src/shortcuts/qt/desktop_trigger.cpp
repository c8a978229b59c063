#include "shortcuts/qt/desktop_trigger.hpp"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

namespace GlobalShortcuts {
namespace {

// Qt's names of modifiers and of the keys a global shortcut commonly uses, as its key sequences
// write them (context "QShortcut" of Qt's translations).
constexpr const char* qtKeyNames[] = {
    "Ctrl", "Shift", "Alt", "Meta", "Num", "Space", "Esc", "Tab", "Backtab", "Backspace", "Return", "Enter",
    "Ins", "Del", "Pause", "Print", "Home", "End", "Left", "Up", "Right", "Down", "PgUp", "PgDown",
    "Menu", "Help", "Back", "Forward", "Stop", "Refresh", "Volume Down", "Volume Mute", "Volume Up",
    "Media Play", "Media Stop", "Media Previous", "Media Next", "Caps Lock", "Num Lock", "Scroll Lock",
};

// The folders that hold the toolkits' translations: Qt 6's own, then Qt 5's, which a desktop of
// Qt 5 (KDE Plasma 5) writes its key names with.
QStringList translationFolders() {
    QStringList folders{QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const auto* folder : {"/usr/share/qt6/translations", "/usr/share/qt5/translations"}) {
        if (!folders.contains(QString::fromLatin1(folder))) folders << QString::fromLatin1(folder);
    }
    return folders;
}

// Splits an alternative into its parts at "+", where a "+" right after another one (or at the
// start) is the plus key itself: "Ctrl++" is Ctrl and +.
QStringList keyParts(const QString& alternative) {
    QStringList parts;
    QString current;
    for (qsizetype i = 0; i < alternative.size(); ++i) {
        QChar c = alternative.at(i);
        if (c == QLatin1Char('+') && !current.isEmpty()) {
            parts << current;
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.isEmpty()) parts << current;
    return parts;
}

}  // namespace

DesktopKeyWords DesktopKeyWords::forLanguage(const QLocale& language) {
    std::map<QString, QString> words;
    for (const auto& folder : translationFolders()) {
        QTranslator translator;
        if (!translator.load(language, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) continue;
        for (const char* name : qtKeyNames) {
            QString native = translator.translate("QShortcut", name);
            // Words that two names share cannot be taken back with certainty.
            if (native.isEmpty() || native == QLatin1String(name)) continue;
            auto [at, inserted] = words.emplace(native, QLatin1String(name));
            if (!inserted && at->second != QLatin1String(name)) at->second.clear();
        }
    }
    std::erase_if(words, [](const auto& entry) { return entry.second.isEmpty(); });
    return DesktopKeyWords(std::move(words));
}

QString DesktopKeyWords::portable(const QString& word) const {
    auto found = words_.find(word);
    return found == words_.end() ? word : found->second;
}

std::vector<QKeySequence> readDesktopTrigger(const QString& text, const DesktopKeyWords& words) {
    std::vector<QKeySequence> alternatives;
    const auto trimmed = text.trimmed();
    if (trimmed.isEmpty()) return {};
    for (const auto& alternative : trimmed.split(QStringLiteral(", "))) {
        QStringList parts = keyParts(alternative.trimmed());
        if (parts.isEmpty()) return {};
        for (auto& part : parts) part = words.portable(part);
        const QString portable = parts.join(QLatin1Char('+'));
        QKeySequence sequence = QKeySequence::fromString(portable, QKeySequence::PortableText);
        // One combination, of a key Qt knows, that Qt writes back as it was read.
        if (sequence.count() != 1 || sequence[0].key() == Qt::Key_unknown || sequence[0].key() == 0) return {};
        if (sequence.toString(QKeySequence::PortableText).compare(portable, Qt::CaseInsensitive) != 0) return {};
        alternatives.push_back(sequence);
    }
    return alternatives;
}

std::string desktopTriggerKeys(const std::string& text, const DesktopKeyWords& words) {
    auto alternatives = readDesktopTrigger(QString::fromStdString(text), words);
    if (alternatives.empty()) return {};
    return alternatives.front().toString(QKeySequence::PortableText).toStdString();
}

}  // namespace GlobalShortcuts
