#pragma once

#include <string>

namespace kestrune {

struct LaunchAgentValues {
    std::string label;
    std::string shellPath;
    std::string launchCommand;
    std::string logPath;
};

// The 22-line property list of the agent's per-user job: the shell runs the launch
// command, the job starts at load and is kept alive, and both output streams go to
// the log. Lines are joined by line feeds, with none after the last.
std::string launchAgentPropertyList(const LaunchAgentValues& values);

} // namespace kestrune
