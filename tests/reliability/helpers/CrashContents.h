#pragma once

#include <string>

namespace kestrune::reliability {

// Two config.env-sized texts (about 600 bytes) that differ in every line, so that
// any mixture of them, or any cut, is told apart from both.
inline std::string crashContent(char variant)
{
    const std::string fill(48, variant);
    std::string text;
    for (const char* key :
         {"HALVENIX_DEVICE_ID", "HALVENIX_JWT_SECRET", "HALVENIX_RELAY_SERVER_TOKEN", "HALVENIX_RELAY_CLIENT_TOKEN",
          "HALVENIX_RELAY_URL", "HALVENIX_PORT", "HALVENIX_ALLOWED_PATHS"}) {
        text += std::string(key) + "='" + variant + "-" + fill + "-" + variant + "'\n";
    }
    return text + "# end " + variant + "\n";
}

} // namespace kestrune::reliability
