#include "support/RandomHex.h"

#include "support/KestruneError.h"

#include <sys/random.h>

#include <algorithm>
#include <vector>

namespace kestrune {

int systemSecureRandomFill(void* buffer, std::size_t length)
{
    // getentropy is on Linux and macOS alike; it hands out at most 256 bytes a call.
    constexpr std::size_t mostPerCall = 256;
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t filled = 0; filled < length; filled += mostPerCall) {
        if (::getentropy(bytes + filled, std::min(mostPerCall, length - filled)) != 0) {
            return -1;
        }
    }
    return 0;
}

std::string randomHex(int byteCount, SecureRandomFill fill)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::vector<unsigned char> buffer(static_cast<std::size_t>(byteCount < 0 ? 0 : byteCount), 0);
    if (fill(buffer.data(), buffer.size()) != 0) {
        throw KestruneError::provisionFailed("Failed to generate local secret");
    }
    std::string hex;
    hex.reserve(buffer.size() * 2);
    for (unsigned char byte : buffer) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

} // namespace kestrune
