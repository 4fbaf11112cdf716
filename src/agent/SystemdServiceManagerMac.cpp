// The systemd backend's macOS half: macOS has no systemd, so a build that names it
// there gets a backend that says so. The product builds launchd's on macOS.

#include "agent/AbsorbedFailures.h"
#include "agent/ProgramConstants.h"
#include "agent/SystemdError.h"
#include "agent/SystemdServiceManager.h"
#include "support/PathJoin.h"

namespace kestrune {

namespace {

constexpr const char* unavailable = "systemd is not available on macOS.";

} // namespace

std::string SystemdServiceManager::definitionPath() const
{
    return joinPath(fallbackUnitDirectory_, systemdUnitName);
}

void SystemdServiceManager::start() const
{
    reportAbsorbedFailure("systemd user manager:", {}, unavailable);
}

void SystemdServiceManager::stop() const
{
    throw SystemdError(unavailable);
}

std::unique_ptr<AgentJobWatch> SystemdServiceManager::watchJob(const AgentJobStateChanged&) const
{
    return nullptr;
}

} // namespace kestrune
