#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

// Reads the user manager's answer to `systemctl --user show --property=UnitPath
// --value`: its unit search path, as words separated by spaces, a word holding a
// space or a quote double-quoted with a backslash before \ " ` and $ inside.
//
// Returns the folder for the user's own units: the first of the path that ends in
// /systemd/user, is not the system's and survives a reboot, so never the runtime
// folder, which the manager lists beside its transient one. A systemctl that leaves
// spaces unquoted splits a home holding one into several words: the folders that
// begin with `homeDirectory` are then found in the text itself. None when the answer
// names no such folder.
std::optional<std::string> userUnitFolder(std::string_view answer, const std::string& homeDirectory);

} // namespace kestrune
