#include "agent/AgentConfiguration.h"

#include "agent/ProgramConstants.h"
#include "support/KestruneError.h"
#include "support/TextEncoding.h"

#include <array>
#include <string_view>
#include <utility>

namespace kestrune {

namespace {

using Entry = std::pair<const char*, std::string_view>;

// The file's lines, in the order the agent's readers expect.
std::array<Entry, 7> configurationEntries(const AgentConfigurationValues& values)
{
    return {Entry{"HALVENIX_DEVICE_ID", values.provision.deviceID},
            Entry{"HALVENIX_JWT_SECRET", values.jwtSecret},
            Entry{"HALVENIX_RELAY_SERVER_TOKEN", values.provision.serverToken},
            Entry{"HALVENIX_RELAY_CLIENT_TOKEN", values.provision.clientToken},
            Entry{"HALVENIX_RELAY_URL", values.relayURL},
            Entry{"HALVENIX_PORT", agentPort},
            Entry{"HALVENIX_ALLOWED_PATHS", values.allowedPath}};
}

} // namespace

std::string agentConfigurationText(const AgentConfigurationValues& values)
{
    std::string text;
    for (const auto& [key, value] : configurationEntries(values)) {
        text += envLine(key, value);
        text += '\n';
    }
    return text;
}

void requireShellTransportable(const AgentConfigurationValues& values)
{
    for (const auto& [key, value] : configurationEntries(values)) {
        if (value.find('\0') != std::string_view::npos) {
            throw KestruneError::provisionFailed(
                std::string("The relay's reply holds a NUL character in the value for ") + key +
                ", which the agent cannot receive.");
        }
    }
}

} // namespace kestrune
