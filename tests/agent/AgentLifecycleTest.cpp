#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"
#include "support/TextEncoding.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <system_error>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

std::string domain()
{
    return "gui/" + std::to_string(::getuid());
}

std::vector<std::string> expectedCalls(std::initializer_list<std::string> calls)
{
    return calls;
}

} // namespace

TEST(AgentLifecycle, StartBootstrapsThenKickstarts)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.start();
    const std::string plist = manager.launchAgentPath();
    EXPECT_EQ(fixture.launchctlCalls(), expectedCalls({"bootstrap " + domain() + " " + plist,
                                                       "kickstart -k " + domain() + "/app.halvenix.server"}));
}

TEST(AgentLifecycle, StartOfALoadedJobFallsBackAndStillSucceeds)
{
    AgentFixture fixture;
    fixture.failLaunchctl("bootstrap", 5, "Bootstrap failed: 5: Input/output error");
    fixture.failLaunchctl("load", 1, "already loaded");
    const AgentManager manager = fixture.manager();
    EXPECT_NO_THROW(manager.start());
    const std::string service = domain() + "/app.halvenix.server";
    EXPECT_EQ(fixture.launchctlCalls(),
              expectedCalls({"bootstrap " + domain() + " " + manager.launchAgentPath(), "kickstart -k " + service,
                             "load " + manager.launchAgentPath(), "kickstart -k " + service}));

    // A control tool that cannot run at all is absorbed too.
    AgentEnvironment environment = fixture.environment();
    environment.launchctlPath = "/nonexistent/launchctl";
    EXPECT_NO_THROW(AgentManager(environment).start());
}

TEST(AgentLifecycle, StopReportsOnlyTheFallbacksFailure)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.stop();
    EXPECT_EQ(fixture.launchctlCalls(), expectedCalls({"bootout " + domain() + " " + manager.launchAgentPath()}));

    AgentFixture fallback;
    fallback.failLaunchctl("bootout", 3, "No such process");
    EXPECT_NO_THROW(fallback.manager().stop());
    EXPECT_EQ(fallback.launchctlCalls().size(), 2u);

    AgentFixture both;
    both.failLaunchctl("bootout", 3, "Boot-out failed: 3: No such process");
    both.failLaunchctl("unload", 1, "  Unload failed: not loaded\n");
    try {
        both.manager().stop();
        FAIL() << "expected the unload failure";
    } catch (const KestruneError& error) {
        EXPECT_EQ(error.errorDescription(), "Unload failed: not loaded");
    }

    AgentEnvironment environment = both.environment();
    environment.launchctlPath = "/nonexistent/launchctl";
    EXPECT_THROW(AgentManager(environment).stop(), std::system_error);
}

TEST(AgentLifecycle, PathsWithSpacesAndQuotesArePassedAsOneArgument)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.homeDirectory = fixture.home() + "/it's \"quoted\"";
    const AgentManager manager(environment);
    manager.stop();
    EXPECT_EQ(fixture.launchctlCalls(), expectedCalls({"bootout " + domain() + " " + manager.launchAgentPath()}));
}

TEST(PairingOutput, RunsTheAgentInPrintingModeThroughTheLoginShell)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    EXPECT_EQ(manager.launchCommand() + " --print-qr", "set -a; source " + shellQuote(manager.configPath()) +
                                                           "; set +a; exec " + shellQuote(manager.bundledAgentPath()) +
                                                           " --print-qr");
    manager.ensureConfigured();
    EXPECT_EQ(manager.pairingQROutput(), "QR for device-1\n\n"); // trailing line feeds kept

    writeScript(fixture.agentPath(), "echo 'cannot pair: relay unknown' >&2; exit 4\n");
    try {
        manager.pairingQROutput();
        FAIL() << "expected the agent's failure";
    } catch (const KestruneError& error) {
        EXPECT_EQ(error.errorDescription(), "cannot pair: relay unknown");
    }
    writeScript(fixture.agentPath(), "exit 0\n");
    EXPECT_EQ(manager.pairingQROutput(), "");
}
