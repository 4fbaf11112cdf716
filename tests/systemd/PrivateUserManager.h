#pragma once

#include "agent/AgentManager.h"
#include "agent/ProgramConstants.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kestrune::testkit {

// Drives the private user manager through the systemd backend. Unless the test runs
// under scripts/private-user-manager, records a skip instead, or a failure where
// KESTRUNE_REQUIRE_SYSTEMD=1 (CI); called from SetUp, the body then does not run.
// Outside the script the backend could reach the developer's own manager, so the
// script's word is the only one taken. The app's own config folder is one the
// manager never reads: the unit must go where the manager says.
inline void usePrivateUserManager(AgentEnvironment& environment)
{
    if (std::getenv("PRIVATE_USER_MANAGER") == nullptr) {
        const char* why = std::getenv("PRIVATE_USER_MANAGER_UNAVAILABLE");
        const std::string message = std::string("no private systemd user manager: ") + (why ? why : "not run under it");
        if (const char* required = std::getenv("KESTRUNE_REQUIRE_SYSTEMD"); required && std::string(required) == "1") {
            GTEST_FAIL() << message;
        }
        GTEST_SKIP() << message;
    }
    environment.serviceManager = ServiceManagerKind::systemd;
    environment.configHomeDirectory = std::string(std::getenv("HOME")) + "/.config-of-the-app";
}

} // namespace kestrune::testkit
