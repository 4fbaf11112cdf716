#pragma once

#include "agent/ProvisionResponse.h"

#include <string>

namespace kestrune {

struct AgentConfigurationValues {
    ProvisionResponse provision;
    std::string jwtSecret;
    std::string relayURL;
    std::string allowedPath;
};

// The seven `KEY='value'` lines of config.env, each ended by a line feed. The agent's
// login shell sources the file, so every value must come back byte for byte.
std::string agentConfigurationText(const AgentConfigurationValues& values);

// Throws KestruneError::provisionFailed when a value cannot reach the agent intact
// through a shell-sourced file and the environment (a NUL byte ends a C string).
void requireShellTransportable(const AgentConfigurationValues& values);

} // namespace kestrune
