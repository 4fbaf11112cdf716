#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// The relay's answer to a provisioning request.
struct ProvisionResponse {
    std::string deviceID;
    std::string serverToken;
    std::string clientToken;

    // Decodes a reply body that must be a JSON object whose members "device_id",
    // "server_token" and "client_token" are strings (further members are ignored).
    // Members are decoded in that order and the first failure throws
    // JsonDecodingError naming the member. Emptiness is the caller's concern.
    static ProvisionResponse decode(std::string_view body);
};

} // namespace kestrune
