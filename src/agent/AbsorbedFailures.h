#pragma once

#include <string>
#include <vector>

namespace kestrune {

// Some steps absorb their failures by design (the service manager's tool while
// starting the agent, say): the caller sees none, and only the status shows the
// outcome. A reporter lets the program log them, so the user can find out why the
// agent reads as stopped. It may be called on any thread, at any time, and must not
// throw.
//
// A routine refusal is one that the normal path meets and the next step expects
// (launchd refusing to bootstrap a job that is loaded already, as after login); a
// failure is one that may leave the agent down.
enum class AbsorbedSeverity { routine, failure };
using AbsorbedFailureReporter = void (*)(AbsorbedSeverity severity, const std::string& message);

// Installs `reporter`, replacing the one before; nullptr installs none (the default).
void setAbsorbedFailureReporter(AbsorbedFailureReporter reporter) noexcept;

// Hands "<tool> <arguments...> <outcome>" (say, "failed: " and the tool's own message)
// to the installed reporter, if any.
void reportAbsorbedFailure(const std::string& tool, const std::vector<std::string>& arguments,
                           const std::string& outcome, AbsorbedSeverity severity = AbsorbedSeverity::failure) noexcept;

} // namespace kestrune
