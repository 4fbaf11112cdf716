#include "PrivateUserManager.h"
#include "agent/ProgramConstants.h"
#include "common/TestFiles.h"
#include "support/ProcessRunner.h"
#include "support/TextEncoding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace kestrune;
using namespace kestrune::testkit;

// The user manager is the judge: a one-shot unit writes its argument back out.
using SystemdQuoteRoundTrip = PrivateUserManagerTest;

TEST_F(SystemdQuoteRoundTrip, TheUserManagerPassesBackExactlyWhatWasQuoted)
{
    const std::string units = std::string(std::getenv("HOME")) + "/.config/systemd/user";
    std::filesystem::create_directories(units);
    TemporaryDirectory output;
    for (const std::string value :
         {"", " lead and trail ", "%h %% %", "$HOME ${HOME} $$ $", "it's \"q\" 'x'", "back\\slash\\", "\\n \\x41",
          "line\nfeed\n", "tab\tcr\r", "caf\xc3\xa9", "bad \xff\xfe", "; # = [Service]"}) {
        writeFile(units + "/echo.service", "[Service]\nType=oneshot\nExecStart=/bin/sh -c " +
                                               systemdQuote("printf %s \"$1\" > \"$0\"") + " " +
                                               systemdQuote(output / "value") + " " + systemdQuote(value) + "\n");
        runProcess(systemctlPath, {"--user", "daemon-reload"});
        runProcess(systemctlPath, {"--user", "start", "echo.service"});
        EXPECT_EQ(readFile(output / "value"), value);
    }
}
