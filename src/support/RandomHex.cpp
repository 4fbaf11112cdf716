#include "support/RandomHex.h"

#include "support/KestruneError.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

namespace kestrune {

int systemSecureRandomFill(void* buffer, std::size_t length)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t filled = 0;
    while (filled < length) {
        const ssize_t got = getrandom(bytes + filled, length - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        filled += static_cast<std::size_t>(got);
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
