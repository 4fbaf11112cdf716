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

void reportAbsorbedFailure(const std::string& message) noexcept
{
    if (const AbsorbedFailureReporter reporter = installedReporter.load()) {
        try {
            reporter(message);
        } catch (...) {
            // Logging is a courtesy: its own failure must not turn into the step's.
        }
    }
}

} // namespace kestrune
