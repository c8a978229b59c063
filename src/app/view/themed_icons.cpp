#include "app/view/themed_icons.hpp"

#include <QDir>
#include <QDirIterator>
#include <QIconEngine>
#include <QPainter>
#include <QSet>
#include <map>
#include <string>
#include <tuple>

#include "app/view/symbol_icons.hpp"

namespace kestro::view {
namespace {

// Symbolic names: a host recolours a "-symbolic" icon to its menu's text colour.
const std::map<std::string, QString, std::less<>>& themeNames() {
    static const std::map<std::string, QString, std::less<>> table{
        {"arrow.clockwise", QStringLiteral("view-refresh-symbolic")},
        {"arrow.clockwise.circle.fill", QStringLiteral("software-update-available-symbolic")},
        {"play.circle.fill", QStringLiteral("media-playback-start-symbolic")},
        {"stop.circle.fill", QStringLiteral("media-playback-stop-symbolic")},
        {"plus.circle.fill", QStringLiteral("list-add-symbolic")},
        {"xmark.circle.fill", QStringLiteral("application-exit-symbolic")},
        {"ellipsis.circle.fill", QStringLiteral("view-more-horizontal-symbolic")},
        {"hourglass", QStringLiteral("content-loading-symbolic")},
        {"chart.bar.fill", QStringLiteral("x-office-spreadsheet-symbolic")},
        {"flame.fill", QStringLiteral("starred-symbolic")},
        {"envelope.fill", QStringLiteral("mail-unread-symbolic")},
        {"mic.slash.fill", QStringLiteral("microphone-disabled-symbolic")},
        {"headphones", QStringLiteral("audio-headphones-symbolic")},
        {"wifi.slash", QStringLiteral("network-wireless-offline-symbolic")},
        {"key.slash.fill", QStringLiteral("dialog-password-symbolic")},
        {"lock.slash.fill", QStringLiteral("changes-prevent-symbolic")},
        {"exclamationmark.triangle.fill", QStringLiteral("dialog-warning-symbolic")},
    };
    return table;
}

// The name an icon file stands for: "x-symbolic.svg", "x-symbolic.png" and the pre-rendered
// "x-symbolic.symbolic.png" all stand for "x-symbolic".
QString iconNameOfFile(const QString& file) {
    for (const auto* suffix : {".symbolic.png", ".svg", ".png"}) {
        if (file.endsWith(QLatin1String(suffix))) return file.left(file.size() - qsizetype(qstrlen(suffix)));
    }
    return {};
}

QSet<QString> iconNamesIn(const QStringList& iconFolders, const QStringList& themes) {
    QSet<QString> names;
    for (const auto& folder : iconFolders) {
        for (const auto& theme : themes) {
            const QString root = folder + QLatin1Char('/') + theme;
            if (!QDir(root).exists()) continue;
            QDirIterator files(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                files.next();
                if (auto name = iconNameOfFile(files.fileName()); !name.isEmpty()) names.insert(name);
            }
        }
    }
    return names;
}

QStringList desktopIconFolders() {
    QStringList folders;
    auto home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.local/share");
    folders << home + QStringLiteral("/icons") << QDir::homePath() + QStringLiteral("/.icons");
    auto dirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dirs.isEmpty()) dirs = QStringLiteral("/usr/local/share:/usr/share");
    for (const auto& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) folders << dir + QStringLiteral("/icons");
    folders.removeDuplicates();
    return folders;
}

QStringList desktopThemes() {
    QStringList themes;
    if (!QIcon::themeName().isEmpty()) themes << QIcon::themeName();
    themes << QStringLiteral("Adwaita") << QStringLiteral("hicolor");
    themes.removeDuplicates();
    return themes;
}

// Draws the symbol as painted in code and carries a theme icon name beside it: Qt's menu draws
// the picture, Qt's menu export hands the name to the host.
class NamedSymbolEngine : public QIconEngine {
public:
    NamedSymbolEngine(QString name, QIcon drawn) : name_(std::move(name)), drawn_(std::move(drawn)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        drawn_.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn_.pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        return drawn_.pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn_.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return drawn_.availableSizes(mode, state);
    }
    QIconEngine* clone() const override { return new NamedSymbolEngine(name_, drawn_); }
    QString key() const override { return QStringLiteral("KestroNamedSymbol"); }
    QString iconName() override { return name_; }
    bool isNull() override { return drawn_.isNull(); }

private:
    QString name_;
    QIcon drawn_;
};

}  // namespace

QString themeIconName(std::string_view symbol) {
    auto found = themeNames().find(symbol);
    return found == themeNames().end() ? QString() : found->second;
}

bool themeHasIcon(const QString& name, const QStringList& iconFolders, const QStringList& themes) {
    return iconNamesIn(iconFolders, themes).contains(name);
}

bool themeHasIcon(const QString& name) {
    // The folders are read once: an icon theme installed while the app runs counts after a restart.
    static const QSet<QString> names = iconNamesIn(desktopIconFolders(), desktopThemes());
    return names.contains(name);
}

QIcon menuIcon(std::string_view symbol, bool standardColour, const QColor& colour, double opacity) {
    QIcon drawn = symbolIcon(symbol, colour, opacity);
    if (!standardColour) return drawn;
    const QString name = themeIconName(symbol);
    if (name.isEmpty() || !themeHasIcon(name)) return drawn;
    return QIcon(new NamedSymbolEngine(name, drawn));
}

QIcon menuIcon(const MenuEntry& entry) {
    const bool standard = entry.colour == MenuColour::standard;
    const QColor colour = menuColour(entry.colour);
    // The standard colour follows the palette: a key of its own for each colour it has had.
    using Key = std::tuple<std::string, QRgb, double>;
    // Never destroyed: its pictures would outlive the application at exit.
    static auto& made = *new std::map<Key, QIcon>;
    Key key{entry.symbol, colour.rgba(), entry.opacity};
    if (auto found = made.find(key); found != made.end()) return found->second;
    // Bounded for a palette that keeps changing: a handful of symbols in five colours at two
    // opacities is all one palette needs.
    if (made.size() >= 256) made.clear();
    return made.emplace(std::move(key), menuIcon(entry.symbol, standard, colour, entry.opacity)).first->second;
}

}  // namespace kestro::view
