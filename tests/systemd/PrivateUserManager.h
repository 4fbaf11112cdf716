#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kestrune::testkit {

// Why no private user manager (scripts/private-user-manager) runs beside this
// test; empty when one does. Outside the script `systemctl --user` could reach
// the developer's own manager, so the script's word is the only one taken.
inline std::string privateUserManagerAbsence()
{
    if (std::getenv("PRIVATE_USER_MANAGER") != nullptr) {
        return "";
    }
    const char* why = std::getenv("PRIVATE_USER_MANAGER_UNAVAILABLE");
    return why != nullptr ? why : "not run under scripts/private-user-manager";
}

} // namespace kestrune::testkit

// Skips the calling test without a private user manager; where
// KESTRUNE_REQUIRE_SYSTEMD=1 (CI) that is a failure instead.
#define KESTRUNE_SKIP_WITHOUT_PRIVATE_USER_MANAGER()                                                          \
    if (const std::string why = ::kestrune::testkit::privateUserManagerAbsence(); !why.empty()) {             \
        if (const char* required = std::getenv("KESTRUNE_REQUIRE_SYSTEMD"); required && std::string(required) == "1") { \
            GTEST_FAIL() << "no private systemd user manager: " << why;                                       \
        }                                                                                                     \
        GTEST_SKIP() << "no private systemd user manager: " << why;                                           \
    }
