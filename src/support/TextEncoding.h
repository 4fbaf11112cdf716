#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// Makes any text one literal single-quoted word for a POSIX shell.
std::string shellQuote(std::string_view text);

// One `KEY='value'` line of a shell-sourced configuration file, without a line end.
// The key is neither quoted nor validated.
std::string envLine(std::string_view key, std::string_view value);

// Makes any text one double-quoted word of a systemd unit's command line (ExecStart=
// and its kin) that the service receives exactly: `%` specifiers and `$` expansion are
// escaped by doubling, backslashes, quotes and control characters by C escapes, and
// bytes that are not valid UTF-8 as \x escapes (unit files must be UTF-8). A NUL
// byte cannot reach a program's arguments by any route.
std::string systemdQuote(std::string_view text);

// Escapes the five XML special characters (ampersand first, so entities are not re-escaped).
std::string xmlEscape(std::string_view text);

} // namespace kestrune
