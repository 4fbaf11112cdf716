#include "agent/AbsorbedFailures.h"

#include <atomic>

namespace kestrune {

namespace {

std::atomic<AbsorbedFailureReporter> installedReporter{nullptr};

} // namespace

void setAbsorbedFailureReporter(AbsorbedFailureReporter reporter) noexcept
{
    installedReporter.store(reporter);
}

void reportAbsorbedFailure(const std::string& tool, const std::vector<std::string>& arguments,
                           const std::string& outcome, AbsorbedSeverity severity) noexcept
{
    if (const AbsorbedFailureReporter reporter = installedReporter.load()) {
        try {
            std::string message = tool;
            for (const std::string& argument : arguments) {
                message += " " + argument;
            }
            reporter(severity, message + " " + outcome);
        } catch (...) {
            // Logging is a courtesy: its own failure must not turn into the step's.
        }
    }
}

} // namespace kestrune
