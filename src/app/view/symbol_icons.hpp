#pragma once
// The menu's symbols, drawn in code: each symbol name of the menu model becomes a small
// monochrome picture in the entry's colour.

#include <QColor>
#include <QIcon>
#include <string_view>

#include "app/menu_model.hpp"

namespace kestro::view {

// The colour an entry of that colour is drawn in (the palette's text colour for `standard`).
QColor menuColour(MenuColour colour);

// The symbol drawn in `colour` at `opacity`; an unknown name gives a plain dot.
QIcon symbolIcon(std::string_view symbol, const QColor& colour, double opacity = 1.0);

// Whether a picture of its own exists for the name.
bool hasSymbol(std::string_view symbol);

// The application's own icon for the tray: a "K" in a rounded square.
QIcon applicationIcon();

}  // namespace kestro::view
