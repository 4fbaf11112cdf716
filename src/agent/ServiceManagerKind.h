#pragma once

namespace kestrune {

// The platform service managers that can supervise the agent.
enum class ServiceManagerKind { launchd, systemd };

} // namespace kestrune
