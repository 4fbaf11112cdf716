#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "common/TestFiles.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono_literals;

TEST(AgentLayout, PathsFollowTheHomeAsItIsAndTheProductUsesItsOwnEndpointAndTimeOuts)
{
    AgentEnvironment environment;
    environment.homeDirectory = "/Users/J\xc3\xb6rg Smith";
    environment.bundleDirectory = "/opt/Kestrune.app";
    const AgentManager manager(environment);
    EXPECT_EQ(manager.configPath(), "/Users/J\xc3\xb6rg Smith/.halvenix/config.env");
    EXPECT_EQ(manager.launchAgentPath(), "/Users/J\xc3\xb6rg Smith/Library/LaunchAgents/app.halvenix.server.plist");
    EXPECT_EQ(manager.bundledAgentPath(), "/opt/Kestrune.app/Contents/Resources/halvenix-server");

    const AgentEnvironment current = AgentEnvironment::current();
    EXPECT_EQ(current.healthURL, "http://127.0.0.1:8765/healthz");
    const AgentTimings& timings = current.timings;
    EXPECT_EQ(std::vector({timings.provisionRequestTimeout, timings.provisionWait, timings.healthRequestTimeout,
                           timings.healthWait}),
              std::vector<std::chrono::milliseconds>({12s, 15s, 1500ms, 2s}));
}

// The property list goes through a real parser (python's plistlib) and its command
// through `zsh -lc`, as launchd runs it: awkward paths arrive exactly.
TEST(LaunchAgent, AwkwardPathsReachTheParserAndTheAgentIntact)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.homeDirectory = fixture.home() + "/<b>&\"x\" $HOME";
    environment.resourcesDirectory = environment.homeDirectory + "/Res'ources";
    std::filesystem::create_directories(*environment.resourcesDirectory);
    const AgentManager manager(environment);
    writeScript(manager.bundledAgentPath(), "printf '%s\\n' \"$HALVENIX_DEVICE_ID\" \"$0\" \"$#\"\n");
    manager.ensureStateDirectoryExists();
    writeFile(manager.configPath(), "HALVENIX_DEVICE_ID='dev'\\''ice'\n", 0600);
    manager.writeLaunchAgent();

    const std::string parsed = runProcess(
        "/usr/bin/python3", {"-c",
                             "import plistlib,sys\n"
                             "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                             "sys.stdout.write('\\0'.join([d['Label']]+d['ProgramArguments']+"
                             "[str(d['RunAtLoad']),str(d['KeepAlive']),d['StandardOutPath'],d['StandardErrorPath']]))",
                             manager.launchAgentPath()});
    const std::string expected = std::string("app.halvenix.server") + '\0' + "/bin/zsh" + '\0' + "-lc" + '\0' +
                                 manager.launchCommand() + '\0' + "True" + '\0' + "True" + '\0' + manager.logPath() +
                                 '\0' + manager.logPath();
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(runProcess("/bin/zsh", {"-lc", manager.launchCommand()}),
              "dev'ice\n" + manager.bundledAgentPath() + "\n0\n");
}
