#pragma once

#include "agent/ServiceManager.h"

#include <vector>

namespace kestrune {

// A systemd user unit driven through `systemctl --user`. Stop leaves the unit
// enabled, so the agent comes back at the next login as a LaunchAgents job does.
class SystemdServiceManager final : public ServiceManager {
  public:
    SystemdServiceManager(std::string systemctlPath, const std::string& userUnitDirectory);

    const std::string& definitionPath() const override { return unitPath_; }
    std::string definitionText(const ServiceJob& job) const override;
    void start() const override;
    void stop() const override;

  private:
    void runSystemctl(const std::vector<std::string>& arguments) const;

    std::string systemctlPath_;
    std::string unitPath_;
};

} // namespace kestrune
