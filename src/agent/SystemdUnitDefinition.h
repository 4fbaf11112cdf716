#pragma once

#include <string>

namespace kestrune {

struct SystemdUnitValues {
    std::string shellPath;
    std::string launchCommand;
    std::string logPath;
};

// The agent's user unit: the shell runs the launch command, the unit is restarted
// whenever it ends and starts with the user's session, and both output streams are
// appended to the log. Throws std::invalid_argument when the log path is not one the
// manager takes as it stands: absolute, normalised (no empty, "." or ".." part),
// valid UTF-8 and free of control characters.
std::string systemdUnitText(const SystemdUnitValues& values);

} // namespace kestrune
