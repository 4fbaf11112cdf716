#pragma once

#include <QIcon>

namespace kestrune::app {

// The desktop theme's terminal icon, or a null icon when the theme has none that
// draws at tray size. Searching the theme takes milliseconds even when it finds
// nothing, so the tray shows the drawn icon first and this one once it is found.
QIcon themedStatusIcon();

// A terminal glyph ">_" on a rounded dark square, drawn at the usual tray sizes and
// for scaled displays, so the tray slot is never empty.
QIcon fallbackStatusIcon();

} // namespace kestrune::app
