#include "agent/ServiceManager.h"

#include "agent/AgentManager.h"
#include "agent/LaunchdServiceManager.h"
#include "agent/SystemdServiceManager.h"
#include "support/PathJoin.h"

namespace kestrune {

std::unique_ptr<AgentJobWatch> ServiceManager::watchJob(const AgentJobStateChanged&) const
{
    return nullptr;
}

std::shared_ptr<const ServiceManager> makeServiceManager(const AgentEnvironment& environment)
{
    switch (environment.serviceManager) {
    case ServiceManagerKind::systemd: {
        // Where the user manager looks for the user's own units when it shares the
        // app's environment; the backend asks the manager first.
        const std::string configHome =
            environment.configHomeDirectory.value_or(joinPath(environment.homeDirectory, ".config"));
        return std::make_shared<SystemdServiceManager>(environment.systemdBusAddress,
                                                       joinPath(configHome, "systemd/user"));
    }
    case ServiceManagerKind::launchd:
        break;
    }
    return std::make_shared<LaunchdServiceManager>(environment.launchctlPath,
                                                   joinPath(environment.homeDirectory, "Library/LaunchAgents"));
}

} // namespace kestrune
