#pragma once

#include <cstddef>
#include <string>

namespace kestrune {

// Fills `buffer` with `length` bytes from a secure generator; returns 0 on success.
using SecureRandomFill = int (*)(void* buffer, std::size_t length);

// The system's secure generator (getentropy).
int systemSecureRandomFill(void* buffer, std::size_t length);

// Lower-case hex of `byteCount` fresh secure random bytes (2 * byteCount characters).
// Throws KestruneError::provisionFailed("Failed to generate local secret") when the
// generator fails; nothing is retried and no weaker source is tried.
std::string randomHex(int byteCount, SecureRandomFill fill = systemSecureRandomFill);

} // namespace kestrune
