#include "agent/AgentManager.h"

#include "common/AgentFixture.h"
#include "support/KestruneError.h"
#include "support/ProcessRunner.h"
#include "support/TextEncoding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <regex>
#include <system_error>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono;
using testing::StrEq;
using testing::ThrowsMessage;

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
              std::vector<milliseconds>({12s, 15s, 1500ms, 2s}));
}

// Under umask 000 only the manager's own modes protect its files. The log comes
// before config.env, which marks the first run as done, and every file appears by
// rename. The property list goes through a real parser (python's plistlib) and its
// command through `zsh -lc`, as launchd runs it: awkward paths arrive exactly.
TEST(AgentFiles, FirstRunWritesPrivateFilesByRenameAndTheJobReachesTheAgent)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.homeDirectory = fixture.home() + "/<b>&\"x\" $HOME";
    environment.resourcesDirectory = environment.homeDirectory + "/Res'ources";
    const AgentManager manager(environment);
    const std::string launchAgents = std::filesystem::path(manager.launchAgentPath()).parent_path();
    std::filesystem::create_directories(launchAgents);
    std::filesystem::create_directories(*environment.resourcesDirectory);
    writeScript(manager.bundledAgentPath(), "printf '%s\\n' \"$HALVENIX_DEVICE_ID\" \"$0\" \"$#\"\n");
    const mode_t savedMask = ::umask(0);
    manager.ensureStateDirectoryExists();
    EXPECT_EQ(
        fileEvents({manager.stateDirectory(), launchAgents},
                   [&] {
                       manager.ensureConfigured();
                       manager.writeLaunchAgent();
                   }),
        (std::vector<std::string>{"moved-to server.log", "moved-to config.env", "moved-to app.halvenix.server.plist"}));
    ::umask(savedMask);
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);
    for (const std::string& path : {manager.configPath(), manager.logPath(), manager.launchAgentPath()}) {
        EXPECT_EQ(fileMode(path), 0600u) << path;
    }
    EXPECT_EQ(readFile(manager.logPath()), "");
    const std::string text = readFile(manager.configPath());
    std::smatch secret;
    ASSERT_TRUE(std::regex_search(text, secret, std::regex("SECRET='([0-9a-f]{64})'\n"))) << text;
    EXPECT_EQ(text, "HALVENIX_DEVICE_ID='device-1'\nHALVENIX_JWT_SECRET='" + secret[1].str() +
                        "'\nHALVENIX_RELAY_SERVER_TOKEN='server-1'\nHALVENIX_RELAY_CLIENT_TOKEN='client-1'\n"
                        "HALVENIX_RELAY_URL='wss://relay.test'\nHALVENIX_PORT='8765'\nHALVENIX_ALLOWED_PATHS=" +
                        shellQuote(environment.homeDirectory) + "\n"); // the home exactly as it is
    // The request is a bare POST: no body and no header field of our own.
    const std::string request = fixture.relay().lastRequest();
    EXPECT_EQ(request.rfind("POST /provision HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_THAT(request, testing::AllOf(testing::HasSubstr("Content-Length: 0\r\n"),
                                        testing::Not(testing::HasSubstr("Content-Type"))));

    const std::string parsed = runProcess(
        "/usr/bin/python3", {"-c",
                             "import plistlib,sys\n"
                             "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                             "sys.stdout.write('\\0'.join([d['Label']]+d['ProgramArguments']+"
                             "[str(d['RunAtLoad']),str(d['KeepAlive']),d['StandardOutPath'],d['StandardErrorPath']]))",
                             manager.launchAgentPath()});
    EXPECT_EQ(parsed, std::string("app.halvenix.server") + '\0' + "/bin/zsh" + '\0' + "-lc" + '\0' +
                          manager.launchCommand() + '\0' + "True" + '\0' + "True" + '\0' + manager.logPath() + '\0' +
                          manager.logPath());
    EXPECT_EQ(runProcess("/bin/zsh", {"-lc", manager.launchCommand()}),
              "device-1\n" + manager.bundledAgentPath() + "\n0\n");
}

TEST(AgentFiles, OnlyAFirstRunWithAnAgentAndASecretMakesARequest)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.secureRandom = [](void*, std::size_t) {
        return 1;
    };
    EXPECT_THAT([&] { AgentManager(environment).ensureConfigured(); },
                ThrowsMessage<KestruneError>(StrEq("Failed to generate local secret")));
    const AgentManager manager = fixture.manager();
    EXPECT_TRUE(std::filesystem::is_empty(manager.stateDirectory()));

    writeFile(manager.logPath(), "old log", 0600);
    manager.ensureConfigured();
    manager.ensureConfigured();
    EXPECT_EQ(readFile(manager.logPath()), "old log");
    std::filesystem::remove(manager.configPath());
    std::filesystem::create_directory(manager.configPath()); // anything there counts, even a folder
    manager.ensureConfigured();

    // Configured or not, a missing agent is reported before anything else.
    std::filesystem::remove(fixture.agentPath());
    environment = fixture.environment();
    for (const std::string& home : {fixture.home(), fixture.home() + "/unconfigured"}) {
        environment.homeDirectory = home;
        EXPECT_THAT([&] { AgentManager(environment).ensureConfigured(); },
                    ThrowsMessage<KestruneError>(
                        StrEq("Bundled agent was not found at " + fixture.agentPath() + ". Reinstall Kestrune.app.")));
    }
    EXPECT_EQ(fixture.relay().requestCount(), 2); // the secret's run and the first
}

// Every call's arguments are recorded joined by one space, so the home's two spaces
// show a path split into words.
TEST(LaunchdService, StartAbsorbsFailuresAndStopReportsOnlyTheLastWays)
{
    const std::string home = "/nonexistent/it's  \"quoted\"";
    const std::string plist = home + "/Library/LaunchAgents/app.halvenix.server.plist";
    const std::string domain = "gui/" + std::to_string(::getuid());
    const std::string service = domain + "/app.halvenix.server";
    const struct {
        bool stop;
        std::vector<std::string> failing;
        std::vector<std::string> calls;
        std::string error;
    } rows[] = {
        {false, {}, {"bootstrap " + domain + " " + plist, "kickstart -k " + service}, ""},
        {false,
         {"bootstrap", "load"},
         {"bootstrap " + domain + " " + plist, "kickstart -k " + service, "load " + plist, "kickstart -k " + service},
         ""},
        {true, {}, {"bootout " + domain + " " + plist}, ""},
        {true, {"bootout"}, {"bootout " + domain + " " + plist, "unload " + plist}, ""},
        {true, {"bootout", "unload"}, {"bootout " + domain + " " + plist, "unload " + plist}, "unload failed"},
    };
    for (const auto& row : rows) {
        AgentFixture fixture;
        for (const std::string& subcommand : row.failing) {
            fixture.failLaunchctl(subcommand, 3, "  " + subcommand + " failed\n");
        }
        AgentEnvironment environment = fixture.environment();
        environment.homeDirectory = home;
        std::string error;
        try {
            row.stop ? AgentManager(environment).stop() : AgentManager(environment).start();
        } catch (const KestruneError& failure) {
            error = failure.errorDescription();
        }
        EXPECT_EQ(fixture.launchctlCalls(), row.calls);
        EXPECT_EQ(error, row.error);
    }
    AgentEnvironment environment = AgentFixture().environment();
    environment.launchctlPath = "/nonexistent/launchctl";
    EXPECT_NO_THROW(AgentManager(environment).start());
    EXPECT_THROW(AgentManager(environment).stop(), std::system_error);
}

TEST(PairingOutput, TheAgentsPrintingModeWithItsConfigurationAndEveryLineFeed)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.ensureConfigured();
    EXPECT_EQ(manager.pairingQROutput(), "QR for device-1\n\n");
    writeScript(fixture.agentPath(), "echo 'cannot pair: relay unknown' >&2; exit 4\n");
    EXPECT_THAT([&] { manager.pairingQROutput(); }, ThrowsMessage<KestruneError>(StrEq("cannot pair: relay unknown")));
    writeScript(fixture.agentPath(), "exit 0\n");
    EXPECT_EQ(manager.pairingQROutput(), "");
}

// With a proxy set that nobody answers, the loopback probe must go direct; the
// product's own timings apply.
TEST(HealthProbe, OnlyA200CountsAndNoProbeOutlivesItsWaitOrHoldsUpTheNext)
{
    AgentFixture fixture;
    const auto healthy = [&](const std::string& url, AgentTimings timings = {}) {
        AgentEnvironment environment = fixture.environment();
        environment.healthURL = url;
        environment.timings = timings;
        return AgentManager(environment).isAgentHealthy();
    };
    LoopbackHttpServer agent, silent;
    silent.answer(CannedReply{"", 60s});
    agent.start();
    silent.start();
    const std::string closedProxy = "http://127.0.0.1:" + std::to_string(closedLoopbackPort());
    ::setenv("http_proxy", closedProxy.c_str(), 1);
    ::setenv("HTTP_PROXY", closedProxy.c_str(), 1);
    const struct {
        CannedReply reply;
        bool healthy;
    } rows[] = {
        {httpReply(200, ""), true},
        {httpReply(200, std::string(3 << 20, 'x')), true}, // a body past the provisioning cap
        {httpReply(204, ""), false},
        {httpReply(503, "busy"), false},
        {httpReply(302, "", "Location: " + fixture.relay().url("/healthz") + "\r\n"), false}, // not followed
    };
    for (const auto& row : rows) {
        agent.answer(row.reply);
        EXPECT_EQ(healthy(agent.url("/healthz")), row.healthy) << row.reply.bytes.substr(0, 40);
    }
    EXPECT_EQ(fixture.relay().requestCount(), 0);

    auto begin = steady_clock::now();
    EXPECT_FALSE(healthy("http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/healthz"));
    EXPECT_LT(steady_clock::now() - begin, 500ms);
    begin = steady_clock::now();
    EXPECT_FALSE(healthy(silent.url("/healthz")));
    EXPECT_LT(steady_clock::now() - begin, 2500ms);
    // A probe whose transfer hangs for a minute does not hold up the next one.
    EXPECT_FALSE(healthy(silent.url("/healthz"), {.healthRequestTimeout = 60s, .healthWait = 100ms}));
    agent.answer(httpReply(200, ""));
    EXPECT_TRUE(healthy(agent.url("/healthz")));
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
}
