#pragma once

#include "agent/ServiceManager.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrune {

// A systemd user unit driven through the user manager's D-Bus API. Stop leaves the
// unit enabled, so the agent comes back at the next login as a LaunchAgents job
// does. The failures that start absorbs go to reportAbsorbedFailure. Each operation
// opens a connection of its own. Built on Linux only: macOS gets a stand-in
// (SystemdServiceManagerMac.cpp) whose every operation says that it has no systemd.
class SystemdServiceManager final : public ServiceManager {
  public:
    // `busAddress`: the manager's D-Bus address; none reaches it as `systemctl --user`
    // does (its private socket under $XDG_RUNTIME_DIR, else the user bus). The unit
    // goes where the manager reads the user's own units, or in `fallbackUnitDirectory`
    // when the manager cannot be asked.
    SystemdServiceManager(std::optional<std::string> busAddress, std::string fallbackUnitDirectory);

    // In the folder the user's manager reads; asks it, so this blocks.
    std::string definitionPath() const override;
    std::string definitionText(const ServiceJob& job) const override;
    bool keepsUnchangedDefinition() const override { return true; }
    // Enables the unit unless it is, reloads the manager only when the unit is not
    // loaded or changed on disk, restarts it and waits for that job to end.
    void start() const override;
    // Stops the unit and waits for that job to end. Throws SystemdError.
    void stop() const override;
    // Follows the unit's ActiveState and SubState over a connection of its own.
    std::unique_ptr<AgentJobWatch> watchJob(const AgentJobStateChanged& changed) const override;

  private:
    std::optional<std::string> busAddress_;
    std::string fallbackUnitDirectory_;
};

// The folder for the user's own units in the manager's UnitPath: the first entry that
// is absolute, ends in /systemd/user, is not the system's (/etc, /usr, /run, /lib) and
// survives a reboot, so never the runtime folder, which the manager lists beside its
// transient one. None when no entry qualifies.
std::optional<std::string> persistentUserUnitFolder(const std::vector<std::string>& unitPath);

} // namespace kestrune
