// The relay's reply is untrusted: decoding any bytes either gives three UTF-8
// strings or throws JsonDecodingError with a short, readable message. Anything else
// (another exception, a crash, a sanitizer report) is a finding.

#include "agent/JsonDecodingError.h"
#include "agent/ProvisionResponse.h"
#include "support/Utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    try {
        const kestrune::ProvisionResponse response = kestrune::ProvisionResponse::decode(body);
        if (!kestrune::isValidUtf8(response.deviceID) || !kestrune::isValidUtf8(response.serverToken) ||
            !kestrune::isValidUtf8(response.clientToken)) {
            std::abort();
        }
    } catch (const kestrune::JsonDecodingError& error) {
        // The message reaches an alert: never empty, never long, never raw reply bytes.
        const std::string message = error.what();
        if (message.empty() || message.size() > 1024 || !kestrune::isValidUtf8(message)) {
            std::abort();
        }
    }
    return 0;
}
