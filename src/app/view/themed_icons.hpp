#pragma once
// Icons a tray host can draw in its own colours. A menu the desktop's tray host draws (a
// StatusNotifier host reading the exported menu) gets each symbol of a standard-coloured entry as
// a freedesktop icon name, so that the host takes it from its icon theme and draws it in its menu's
// text colour, on a light menu and a dark one alike; the menu Qt draws itself keeps the symbol
// drawn in code. A name no installed icon theme has is not exported: the drawn symbol goes instead.

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <string_view>

#include "app/menu_model.hpp"

namespace kestro::view {

// The freedesktop icon name standing for a symbol ("xmark.circle.fill" gives
// "application-exit-symbolic"); empty for a symbol without one.
QString themeIconName(std::string_view symbol);

// Whether an icon theme the desktop may use (Qt's own, GTK's default "Adwaita", "hicolor") holds
// an icon of that name, looked for in the icon folders of $XDG_DATA_HOME and $XDG_DATA_DIRS.
// Read from disk once per name.
bool themeHasIcon(const QString& name);

// The same in the given folders only (each holding themes as "<theme>/<size>/<context>/<file>").
bool themeHasIcon(const QString& name, const QStringList& iconFolders, const QStringList& themes);

// The icon of an entry: the drawn symbol in `colour` at `opacity`, carrying the symbol's theme
// icon name when the entry has the standard colour and a theme has the name (Qt then exports the
// name instead of the picture). Coloured entries (a green start, a red error) keep their colour,
// which is part of their meaning, as a picture.
QIcon menuIcon(std::string_view symbol, bool standardColour, const QColor& colour, double opacity = 1.0);

// The icon of a menu entry: its symbol in its colour at its opacity, as menuIcon above. Made once
// per symbol, colour and opacity and handed out again after that, so that the pictures Qt scales
// from it are cached once for each size.
QIcon menuIcon(const MenuEntry& entry);

}  // namespace kestro::view
