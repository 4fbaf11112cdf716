#pragma once

#include <stdexcept>

namespace kestrune {

// The systemd user manager's refusal of a step, or the failure to reach it, worded
// as systemctl words it: "Failed to stop app.halvenix.server.service: Unit
// app.halvenix.server.service not loaded.", "Failed to connect to bus: No such file
// or directory".
class SystemdError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace kestrune
