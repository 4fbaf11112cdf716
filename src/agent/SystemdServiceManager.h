#pragma once

#include "agent/ServiceManager.h"

#include <vector>

namespace kestrune {

// A systemd user unit driven through `systemctl --user`. Stop leaves the unit
// enabled, so the agent comes back at the next login as a LaunchAgents job does.
// The failures that start absorbs go to reportAbsorbedFailure.
class SystemdServiceManager final : public ServiceManager {
  public:
    // The unit goes in the folder inside `homeDirectory` where the manager reads the
    // user's units, or in `fallbackUnitDirectory` when the manager names none.
    SystemdServiceManager(std::string systemctlPath, std::string homeDirectory, std::string fallbackUnitDirectory);

    // In the folder the user's manager reads; asks it, so this blocks.
    std::string definitionPath() const override;
    std::string definitionText(const ServiceJob& job) const override;
    void start() const override;
    void stop() const override;

  private:
    std::string userUnitDirectory() const;
    void runSystemctl(const std::vector<std::string>& arguments) const;

    std::string systemctlPath_;
    std::string homeDirectory_;
    std::string fallbackUnitDirectory_;
};

} // namespace kestrune
