#pragma once

#include <QIcon>

namespace kestrune::app {

// The tray icon: the desktop theme's terminal icon when it has one, else ours.
QIcon statusIcon();

// A terminal glyph ">_" on a rounded dark square, drawn at the usual tray sizes, so
// the tray slot is never empty.
QIcon fallbackStatusIcon();

} // namespace kestrune::app
