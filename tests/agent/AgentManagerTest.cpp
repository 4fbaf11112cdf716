#include "agent/AbsorbedFailures.h"
#include "agent/SystemdServiceManager.h"
#include "agent/SystemdUnitDefinition.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <regex>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono;
using namespace testing;

namespace {

// Started with KESTRUNE_FIRST_RUN_HOME set, the program is a second process making one
// first run (its home, resources and relay from its environment) beside the threads of
// the test below, then it ends. A failure ends it through std::terminate.
[[maybe_unused]] const bool ranAsFirstRun = [] {
    if (const char* home = std::getenv("KESTRUNE_FIRST_RUN_HOME")) {
        AgentEnvironment environment = AgentEnvironment::current(); // the product's shell
        environment.homeDirectory = home;
        environment.resourcesDirectory = std::getenv("KESTRUNE_FIRST_RUN_RESOURCES");
        environment.provisionURL = std::getenv("KESTRUNE_FIRST_RUN_URL");
        AgentManager(environment).ensureConfigured();
        std::_Exit(0);
    }
    return false;
}();

// A first run that must fail with a short, readable text (an alert shows it) that
// quotes nothing of the reply, and leave nothing in the state folder.
std::string firstRunFailure(const AgentEnvironment& environment)
{
    const AgentManager manager(environment);
    std::string message = "<accepted>";
    try {
        manager.ensureConfigured();
    } catch (const std::exception& error) {
        message = error.what();
    }
    EXPECT_LE(message.size(), 200u) << message.substr(0, 300);
    EXPECT_THAT(message, Not(HasSubstr("Secret")));
    EXPECT_TRUE(std::filesystem::is_empty(manager.stateDirectory()));
    return message;
}

} // namespace

// A missing agent or secret is reported before any request, and a missing shell or agent
// after the first run too (Start and the pairing QR begin with ensureConfigured).
// Under umask 000 only the manager's own modes protect its files (their order and
// renames show in the fault-injection tests). The property list goes through a real
// parser (python's plistlib) and its command through `zsh -lc`, as launchd runs it:
// awkward paths, and a device name of every ASCII character, arrive exactly.
TEST(AgentFiles, OnlyAFirstRunWithAnAgentShellAndSecretRequestsAndWritesPrivateFilesTheJobReads)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    const std::string home = environment.homeDirectory = fixture.home() + "/<b>&\"x\" $HOME";
    const std::string agentPath = home + "/Kest'rune.app/Contents/Resources/halvenix-server"; // the bundle's own
    environment.bundleDirectory = home + "/Kest'rune.app";
    environment.resourcesDirectory.reset();
    AgentEnvironment withoutRandom = environment, withoutShell = environment;
    withoutRandom.secureRandom = [](void*, std::size_t) {
        return 1;
    };
    withoutShell.shellPath = "/nonexistent/zsh";
    const auto fails = [](const AgentEnvironment& changed, const std::string& message) {
        EXPECT_THAT([&] { AgentManager(changed).ensureConfigured(); }, ThrowsMessage<KestruneError>(StrEq(message)));
    };
    std::string device(127, '\1');
    std::iota(device.begin(), device.end(), '\1');
    fixture.relay().answer(httpReply(200, R"({"device_id":)" + nlohmann::json(device).dump() +
                                              R"(,"server_token":"server-1","client_token":"client-1"})"));
    const std::string agentMissing = "Bundled agent was not found at " + agentPath + ". Reinstall Kestrune.app.";
    fails(environment, agentMissing);
    std::filesystem::create_directories(std::filesystem::path(agentPath).parent_path());
    writeScript(agentPath, "printf '%s\\n' \"$HALVENIX_DEVICE_ID\" \"$HALVENIX_ALLOWED_PATHS\" \"$0\" \"$#\"\n");
    fails(withoutRandom, "Failed to generate local secret");
    const AgentManager manager(environment);
    EXPECT_TRUE(std::filesystem::is_empty(manager.stateDirectory()));

    const mode_t savedMask = ::umask(0);
    manager.ensureConfigured();
    manager.writeLaunchAgent();
    ::umask(savedMask);
    for (const std::string& path : {manager.configPath(), manager.logPath(), manager.launchAgentPath()}) {
        EXPECT_EQ(fileMode(path), 0600u) << path;
    }
    EXPECT_EQ(
        std::regex_replace(readFile(home + "/.halvenix/config.env"), std::regex("'[0-9a-f]{64}'"), "<64 hex digits>"),
        "HALVENIX_DEVICE_ID=" + shellQuote(device) +
            "\nHALVENIX_JWT_SECRET=<64 hex digits>\nHALVENIX_RELAY_SERVER_TOKEN='server-1'\n"
            "HALVENIX_RELAY_CLIENT_TOKEN='client-1'\nHALVENIX_RELAY_URL='wss://relay.test'\nHALVENIX_PORT='8765'\n"
            "HALVENIX_ALLOWED_PATHS=" +
            shellQuote(home) + "\n"); // the home exactly as it is
    // The request is a bare POST: no body and no header field of our own.
    EXPECT_THAT(fixture.relay().lastRequest(),
                AllOf(StartsWith("POST /provision HTTP/1.1\r\n"), HasSubstr("Content-Length: 0\r\n"),
                      Not(HasSubstr("Content-Type"))));
    const char* const plistMatches =
        "import plistlib, sys\n"
        "a = sys.argv\n"
        "d = plistlib.load(open(a[1], 'rb'))\n"
        "print(d == {'Label': 'app.halvenix.server', 'ProgramArguments': ['/bin/zsh', '-lc', a[2]], "
        "'RunAtLoad': True, 'KeepAlive': True, 'StandardOutPath': a[3], 'StandardErrorPath': a[3]} or d)";
    EXPECT_EQ(runProcess("/usr/bin/python3",
                         {"-c", plistMatches, manager.launchAgentPath(), manager.launchCommand(), manager.logPath()}),
              "True\n");
    EXPECT_EQ(runProcess("/bin/zsh", {"-lc", manager.launchCommand()}),
              device + "\n" + home + "\n" + agentPath + "\n0\n");

    // A first run again, without the file: it narrows the folder, keeps the log and makes a new secret.
    const std::string firstConfiguration = readFile(manager.configPath());
    writeFile(manager.logPath(), "old log", 0600);
    std::filesystem::remove(manager.configPath());
    ::chmod(manager.stateDirectory().c_str(), 0755);
    manager.ensureConfigured();
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);
    EXPECT_EQ(readFile(manager.logPath()), "old log");
    EXPECT_NE(readFile(manager.configPath()), firstConfiguration);
    // An agent that prints nothing pairs with an empty text (what it prints is the
    // end-to-end test's, its failure the app's status-line table's).
    writeScript(agentPath, "exit 0\n");
    EXPECT_EQ(manager.pairingQROutput(), "");
    std::filesystem::remove(manager.configPath());
    std::filesystem::create_directory(manager.configPath()); // anything there counts, even a folder
    manager.ensureConfigured();
    EXPECT_EQ(fixture.relay().requestCount(), 3); // the secret's run and two first runs
    fails(withoutShell,
          "The agent is started through /nonexistent/zsh, which was not found. Install zsh and try again.");
    std::filesystem::remove(agentPath);
    fails(environment, agentMissing);
}

// Threads and processes run the first configuration at once against a relay slow
// enough for all of them to overlap: one registration.
TEST(AgentFiles, OverlappingFirstRunsFromThreadsAndProcessesProvisionOnce)
{
    AgentFixture fixture;
    fixture.relay().answer(
        CannedReply{httpReply(200, R"({"device_id":"d","server_token":"s","client_token":"c"})").bytes, 5ms});
    const AgentManager manager = fixture.manager();
    ::setenv("KESTRUNE_FIRST_RUN_HOME", fixture.home().c_str(), 1);
    ::setenv("KESTRUNE_FIRST_RUN_RESOURCES", fixture.resources().c_str(), 1);
    ::setenv("KESTRUNE_FIRST_RUN_URL", fixture.environment().provisionURL.c_str(), 1);
    std::vector<std::jthread> callers;
    for (int i = 0; i < 10; ++i) {
        callers.emplace_back(
            [&, i] { EXPECT_NO_THROW(i < 2 ? (void)runProcess("/proc/self/exe", {}) : manager.ensureConfigured()); });
    }
    callers.clear();
    EXPECT_EQ(fixture.relay().requestCount(), 1); // so one writer (whole files are the atomic write's)

    // A libcurl that takes no protocol limit makes no request at all.
    std::filesystem::remove_all(manager.stateDirectory());
    ::setenv("LD_LIBRARY_PATH", CURL_WITHOUT_PROTOCOL_LIMITS, 1);
    EXPECT_THAT([] { runProcess("/proc/self/exe", {}); },
                ThrowsMessage<KestruneError>(HasSubstr("cannot limit requests to HTTP and HTTPS")));
    ::unsetenv("LD_LIBRARY_PATH");
}

// Every call's arguments are recorded joined by one space, so the home's two spaces
// show a path split into words. (A launchctl that cannot be started is the fault table's.)
TEST(LaunchdService, StartAbsorbsFailuresAndStopReportsOnlyTheLastWays)
{
    const std::string domain = "gui/" + std::to_string(::getuid());
    const std::string plist = " /nonexistent/it's  \"quoted\"/Library/LaunchAgents/app.halvenix.server.plist\n";
    const std::string bootstrap = "bootstrap " + domain + plist, bootout = "bootout " + domain + plist;
    const std::string kickstart = "kickstart -k " + domain + "/app.halvenix.server\n", load = "load" + plist;
    // Stop or start; the subcommands failing; the calls, one line each; what start and
    // stop report but do not throw: launchctl's messages, a routine one marked as logged
    // at info. (A stop whose last way fails too throws that way's error: the app's
    // status-line table shows it.)
    const std::tuple<bool, std::vector<std::string>, std::string, std::string> rows[] = {
        {false, {}, bootstrap + kickstart, ""},
        {false, {"bootstrap", "load"}, bootstrap + kickstart + load + kickstart, "info: bootstrap failed: load failed"},
        {true, {}, bootout, ""},
        {true, {"bootout"}, bootout + "unload" + plist, ": bootout failed"},
    };
    static std::string absorbed;
    setAbsorbedFailureReporter([](AbsorbedSeverity severity, const std::string& message) {
        absorbed += (severity == AbsorbedSeverity::routine ? "info" : "") + message.substr(message.find(": "));
    });
    for (const auto& [stop, failing, calls, reported] : rows) {
        AgentFixture fixture;
        absorbed.clear();
        for (const std::string& subcommand : failing) {
            fixture.failLaunchctl(subcommand, 3, "  " + subcommand + " failed\n");
        }
        AgentEnvironment environment = fixture.environment();
        environment.homeDirectory = "/nonexistent/it's  \"quoted\"";
        stop ? AgentManager(environment).stop() : AgentManager(environment).start(); // neither throws
        EXPECT_EQ(fixture.launchctlCalls(), calls);
        EXPECT_EQ(absorbed, reported);
    }
}

// A log path that the manager would drop or refuse is refused, with the reason. The
// unit goes in the user's persistent folder of the manager's search path: never its
// runtime one (listed beside the transient one), nor the system's, nor a relative one.
TEST(SystemdUnit, ALogPathTheManagerWouldNotTakeIsRefusedAndTheUnitGoesInTheUsersOwnFolder)
{
    EXPECT_EQ(persistentUserUnitFolder({"/r/systemd/transient", "/r/systemd/user", "/etc/systemd/user",
                                        "/run/systemd/user", "/usr/systemd/user", "h/systemd/user", "/h/systemd/user"}),
              "/h/systemd/user");
    const std::pair<const char*, const char*> rows[] = {
        {"/h/a\nb/x.log", "control character"}, {"/h/J\xf6rg/x.log", "UTF-8"},
        {"/h/../x.log", "\"..\" part"},         {"/h/./x.log", "\".\" or"},
        {"/h//x.log", "doubled slash"},         {"h/x.log", "not absolute"}};
    for (const auto& [log, reason] : rows) {
        EXPECT_THAT([&] { systemdUnitText({"", "", log}); }, ThrowsMessage<std::invalid_argument>(HasSubstr(reason)));
    }
    AgentEnvironment rootHome = AgentFixture().environment(); // a home of "/" makes no doubled slash
    rootHome.homeDirectory = "/";
    EXPECT_EQ(AgentManager(rootHome).logPath(), "/.halvenix/server.log");
}

TEST(RelayAndHealth, EveryBadReplyFailsWithItsReasonAndOnlyA200IsHealthyWithinTheWait)
{
    AgentFixture fixture;
    const auto members = [](const std::string& device, const std::string& server, const std::string& client) {
        return R"({"device_id":)" + device + R"(,"server_token":)" + server + R"(,"client_token":)" + client + "}";
    };
    const std::string valid = members("\"d\"", "\"s\"", "\"c\"");
    const std::pair<CannedReply, std::string> rows[] = {
        {httpReply(201, valid), "Relay did not return 200"},
        {httpReply(500, std::string(3 << 20, 'x')), "Relay did not return 200"}, // a large error page
        {httpReply(302, valid, "Location: " + closedLoopbackURL() + "/\r\n"), "Relay did not return 200"},
        {httpReply(200, members("\"d\"", "\"Secret\xff\"", "\"c\"")), "The relay's reply is not valid JSON"},
        {httpReply(200, "{}"), "The relay's reply has no value for \"device_id\"."},
        {httpReply(200, std::string(100000, '[') + std::string(100000, ']')), "an array where an object was"},
        {httpReply(200, members("7", "\"s\"", "\"c\"")), "\"device_id\" in the relay's reply is a number, not"},
        {httpReply(200, members("\"d\"", "null", "\"c\"")), "\"server_token\" in the relay's reply is null, not"},
        {httpReply(200, members("\"d\"", "\"s\"", "{}")), "\"client_token\" in the relay's reply is an object"},
        {httpReply(200, R"({"device_id":"d","server_token":"s"})"), "no value for \"client_token\""},
        {httpReply(200, members("\"\"", "\"s\"", "\"c\"")), "Relay response was missing required fields"},
        {httpReply(200, members("\"d\"", "\"\"", "\"c\"")), "Relay response was missing required fields"},
        {httpReply(200, members("\"d\"", "\"s\"", "\"\"")), "Relay response was missing required fields"},
        {httpReply(200, members("\"d\"", R"("s\u0000x")", "\"c\"")), "NUL character"},
        {{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + valid}, "transfer closed"},        // cut short
        {{"HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n" + std::string(4 << 20, 'x')}, // as if endless
         "The relay's reply was too large to be a provisioning answer."},
        {{httpReply(200, valid).bytes, 100ms}, "imed out"}, // trickles past the time-out
    };

    // Each reply fails a first run with its reason, and the health probe finds it healthy
    // when its 200 head comes within the wait, whatever follows. The probe's requests meet
    // a proxy that nobody answers: the loopback probe must go direct. The product's own
    // timings apply.
    LoopbackHttpServer unanswered; // told nothing: it never answers
    const auto healthy = [&](const std::string& url, AgentTimings timings = {}) {
        AgentEnvironment environment = fixture.environment();
        environment.healthURL = url;
        environment.timings = timings;
        ::setenv("http_proxy", closedLoopbackURL().c_str(), 1);
        const bool answered = AgentManager(environment).isAgentHealthy();
        ::unsetenv("http_proxy");
        return answered;
    };
    AgentEnvironment environment = fixture.environment();
    environment.timings = {.provisionRequestTimeout = 1500ms, .provisionWait = 8s};
    for (const auto& [reply, reason] : rows) {
        fixture.relay().answer(reply);
        EXPECT_THAT(firstRunFailure(environment), HasSubstr(reason)) << reply.bytes.substr(0, 80);
        const auto begin = steady_clock::now();
        const bool answers200 = reply.bytes.starts_with("HTTP/1.1 200") && reply.pace == 0ms;
        EXPECT_EQ(healthy(fixture.relay().url("/healthz")), answers200) << reply.bytes.substr(0, 40);
        EXPECT_LT(steady_clock::now() - begin, 2500ms);
    }
    // A probe whose transfer hangs for a minute does not hold up the next one.
    EXPECT_FALSE(healthy(unanswered.url("/healthz"), {.healthRequestTimeout = 60s, .healthWait = 100ms}));
    fixture.relay().answer(httpReply(200, ""));
    EXPECT_TRUE(healthy(fixture.relay().url("/healthz")));

    // The caller's wait runs out before the transfer's time-out.
    environment.provisionURL = unanswered.url("/provision");
    environment.timings = {.provisionRequestTimeout = 3s, .provisionWait = 200ms};
    EXPECT_EQ(firstRunFailure(environment), "No response");

    // A relay whose certificate nobody vouches for is refused before anything is read.
    // Its key and certificate share one file, which s_server reads for both.
    const std::string pem = fixture.home() + "/relay.pem", port = closedLoopbackURL().substr(17);
    runProcess("/usr/bin/openssl", {"req", "-x509", "-newkey", "ed25519", "-nodes", "-subj", "/CN=127.0.0.1", "-addext",
                                    "subjectAltName=IP:127.0.0.1", "-keyout", pem, "-out", pem});
    std::jthread relay([&] {
        EXPECT_NO_THROW(runProcess("/usr/bin/openssl", {"s_server", "-quiet", "-www", "-naccept", "1", "-accept",
                                                        "127.0.0.1:" + port, "-cert", pem}));
    });
    environment.provisionURL = "https://127.0.0.1:" + port + "/provision";
    environment.timings = {};
    std::string failure;
    for (int i = 0; i < 50 && (failure = firstRunFailure(environment)).find("onnect") != std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms); // until the server listens
    }
    EXPECT_THAT(failure, HasSubstr("certificate"));
}
