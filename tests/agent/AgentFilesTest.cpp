#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "common/TestFiles.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

using namespace kestrune;
using namespace kestrune::testkit;

TEST(AgentLayout, PathsFollowTheHomeAndResourcesAsTheyAre)
{
    AgentEnvironment environment;
    environment.homeDirectory = "/Users/J\xc3\xb6rg Smith";
    environment.resourcesDirectory = "/Applications/Kestrune.app/Contents/Resources";
    environment.bundleDirectory = "/unused";
    const AgentManager manager(environment);
    EXPECT_EQ(manager.stateDirectory(), "/Users/J\xc3\xb6rg Smith/.halvenix");
    EXPECT_EQ(manager.configPath(), "/Users/J\xc3\xb6rg Smith/.halvenix/config.env");
    EXPECT_EQ(manager.logPath(), "/Users/J\xc3\xb6rg Smith/.halvenix/server.log");
    EXPECT_EQ(manager.launchAgentPath(), "/Users/J\xc3\xb6rg Smith/Library/LaunchAgents/app.halvenix.server.plist");
    EXPECT_EQ(manager.bundledAgentPath(), "/Applications/Kestrune.app/Contents/Resources/halvenix-server");

    environment.resourcesDirectory.reset();
    environment.bundleDirectory = "/opt/Kestrune.app";
    EXPECT_EQ(AgentManager(environment).bundledAgentPath(), "/opt/Kestrune.app/Contents/Resources/halvenix-server");
}

TEST(AgentLayout, ProductEnvironmentUsesTheRealHomeAndCompiledInEndpoints)
{
    const AgentEnvironment current = AgentEnvironment::current();
    EXPECT_FALSE(current.homeDirectory.empty());
    EXPECT_NE(current.homeDirectory.back(), '/');
    EXPECT_EQ(current.provisionURL.rfind("http", 0), 0u);
    EXPECT_EQ(current.relayURL.rfind("wss://", 0), 0u);
    EXPECT_EQ(current.healthURL, "http://127.0.0.1:8765/healthz");
}

TEST(StateDirectory, CreatedWithParentsAndNarrowedTo0700EveryTime)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    std::filesystem::remove_all(fixture.home());
    manager.ensureStateDirectoryExists();
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);

    writeFile(manager.stateDirectory() + "/keep", "kept");
    ::chmod(manager.stateDirectory().c_str(), 0755);
    manager.ensureStateDirectoryExists();
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);
    EXPECT_EQ(readFile(manager.stateDirectory() + "/keep"), "kept");

    // A file in the way is no failure; its mode is narrowed all the same.
    std::filesystem::remove_all(manager.stateDirectory());
    writeFile(manager.stateDirectory(), "in the way", 0644);
    EXPECT_NO_THROW(manager.ensureStateDirectoryExists());
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);
}

TEST(LaunchAgent, PropertyListIsTheExactDefinition)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.writeLaunchAgent();
    const std::string command = "set -a; source &apos;" + manager.configPath() + "&apos;; set +a; exec &apos;" +
                                manager.bundledAgentPath() + "&apos;";
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "    <key>Label</key>\n"
        "    <string>app.halvenix.server</string>\n"
        "    <key>ProgramArguments</key>\n"
        "    <array>\n"
        "        <string>/bin/zsh</string>\n"
        "        <string>-lc</string>\n"
        "        <string>" +
        command +
        "</string>\n"
        "    </array>\n"
        "    <key>RunAtLoad</key>\n"
        "    <true/>\n"
        "    <key>KeepAlive</key>\n"
        "    <true/>\n"
        "    <key>StandardOutPath</key>\n"
        "    <string>" +
        manager.logPath() +
        "</string>\n"
        "    <key>StandardErrorPath</key>\n"
        "    <string>" +
        manager.logPath() +
        "</string>\n"
        "</dict>\n"
        "</plist>";
    EXPECT_EQ(readFile(manager.launchAgentPath()), expected);
    EXPECT_EQ(fileMode(manager.launchAgentPath()), 0600u);
    manager.writeLaunchAgent();
    EXPECT_EQ(readFile(manager.launchAgentPath()), expected);
}

namespace {

// Reads the property list with a real parser and prints its values one per line,
// NUL-separated so that any text survives.
std::string parsedPropertyList(const std::string& path)
{
    return runProcess("/usr/bin/python3",
                      {"-c",
                       "import plistlib,sys\n"
                       "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                       "sys.stdout.write('\\0'.join([d['Label']]+d['ProgramArguments']+"
                       "[str(d['RunAtLoad']),str(d['KeepAlive']),d['StandardOutPath'],d['StandardErrorPath']]))",
                       path});
}

} // namespace

TEST(LaunchAgent, AwkwardPathsReachTheParserAndTheShellIntact)
{
    TemporaryDirectory root;
    const std::string home = root / "it's a <b>&\"home\" $HOME";
    const std::string resources = home + "/Res'ources";
    std::filesystem::create_directories(resources);
    writeScript(resources + "/halvenix-server", "printf '%s\\n' \"$HALVENIX_DEVICE_ID\" \"$0\" \"$#\"\n");

    AgentEnvironment environment;
    environment.homeDirectory = home;
    environment.resourcesDirectory = resources;
    environment.shellPath = "/bin/zsh";
    const AgentManager manager(environment);
    manager.ensureStateDirectoryExists();
    writeFile(manager.configPath(), "HALVENIX_DEVICE_ID='dev'\\''ice'\n", 0600);
    manager.writeLaunchAgent();

    const std::string parsed = parsedPropertyList(manager.launchAgentPath());
    const std::string expected = std::string("app.halvenix.server") + '\0' + "/bin/zsh" + '\0' + "-lc" + '\0' +
                                 manager.launchCommand() + '\0' + "True" + '\0' + "True" + '\0' + manager.logPath() +
                                 '\0' + manager.logPath();
    EXPECT_EQ(parsed, expected);
    // The command as launchd would run it: the agent starts with the file's values.
    EXPECT_EQ(runProcess("/bin/zsh", {"-lc", manager.launchCommand()}),
              "dev'ice\n" + manager.bundledAgentPath() + "\n0\n");
}
