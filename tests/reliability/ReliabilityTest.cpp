#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono;

namespace {

// Started as `<this program> --first-run HOME RESOURCES URL`, the program is a second
// process making one first run beside the threads of the test below, then it ends.
[[maybe_unused]] const bool ranAsFirstRun = [] {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(file, argument, '\0');) {
        arguments.push_back(argument);
    }
    if (arguments.size() != 5 || arguments[1] != "--first-run") {
        return false;
    }
    AgentEnvironment environment;
    environment.homeDirectory = arguments[2];
    environment.resourcesDirectory = arguments[3];
    environment.provisionURL = arguments[4];
    try {
        AgentManager(environment).ensureConfigured();
    } catch (...) {
        std::_Exit(1);
    }
    std::_Exit(0);
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
    EXPECT_EQ(message.find("Secret"), std::string::npos) << message;
    EXPECT_EQ(message.find("json.exception"), std::string::npos) << message;
    EXPECT_TRUE(std::filesystem::is_empty(manager.stateDirectory()));
    return message;
}

} // namespace

// Threads and processes run the first configuration at once against a relay slow
// enough for all of them to overlap: one registration, one whole file.
TEST(Reliability, OverlappingFirstRunsFromThreadsAndProcessesProvisionOnce)
{
    AgentFixture fixture;
    CannedReply slow = httpReply(200, R"({"device_id":"d","server_token":"s","client_token":"c"})");
    slow.delay = 500ms;
    fixture.relay().answer(slow);
    const AgentManager manager = fixture.manager();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<std::jthread> callers;
    for (int i = 0; i < 10; ++i) {
        callers.emplace_back([&, i] {
            EXPECT_NO_THROW(i < 2 ? (void)runProcess(self, {"--first-run", fixture.home(), fixture.resources(),
                                                            fixture.environment().provisionURL})
                                  : manager.ensureConfigured());
        });
    }
    callers.clear();
    EXPECT_EQ(fixture.relay().requestCount(), 1);
    EXPECT_EQ(splitLines(readFile(manager.configPath())).size(), 7u);
}

// Eight threads of runProcess while other code starts long-lived children of its
// own that close no descriptors: no stranger ever holds a pipe's write end (the
// reader would then wait for it to end), and no descriptor leaks into this process
// or a child. This process's standard input is a file and it holds an inheritable
// descriptor of its own: the children must see neither.
TEST(Reliability, ParallelProcessRunsBesideAForeignSpawnerLeakNothing)
{
    TemporaryDirectory directory;
    writeFile(directory / "input", "not for the child");
    const int savedInput = ::dup(STDIN_FILENO);
    ::dup2(::open((directory / "input").c_str(), O_RDONLY), STDIN_FILENO);
    const auto descriptorCount = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    runProcess("/bin/true", {}); // whatever opens once and stays open, before counting
    const auto before = descriptorCount();
    std::vector<pid_t> strangers(300);
    std::thread stranger([&] {
        char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("4"), nullptr};
        for (pid_t& pid : strangers) {
            ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::jthread> runners;
    for (int t = 0; t < 8; ++t) {
        runners.emplace_back([] {
            for (int i = 0; i < 30; ++i) {
                const auto begin = steady_clock::now();
                EXPECT_EQ(runProcess("/bin/ls", {"/proc/self/fd"}), "0\n1\n2\n3\n"); // 3 is ls's own listing
                EXPECT_LT(steady_clock::now() - begin, 2s);
            }
            EXPECT_EQ(runProcess("/bin/readlink", {"/proc/self/fd/0"}), "/dev/null\n");
        });
    }
    runners.clear();
    stranger.join();
    for (const pid_t pid : strangers) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(descriptorCount(), before);
    ::dup2(savedInput, STDIN_FILENO);
}

TEST(Reliability, EveryBadRelayReplyFailsWithItsReason)
{
    AgentFixture fixture; // its relay answers well: the target of a redirect
    LoopbackHttpServer hostile;
    hostile.start();
    AgentEnvironment environment = fixture.environment();
    environment.provisionURL = hostile.url("/provision");
    environment.timings.provisionRequestTimeout = 1500ms;
    environment.timings.provisionWait = 8s;
    const auto members = [](const std::string& device, const std::string& server, const std::string& client) {
        return R"({"device_id":)" + device + R"(,"server_token":)" + server + R"(,"client_token":)" + client + "}";
    };
    const std::string valid = members("\"d\"", "\"s\"", "\"c\"");
    const std::string notOk = "Relay did not return 200";
    const std::string missing = "Relay response was missing required fields";
    const std::string array = "The relay's reply is an array where an object was expected.";
    const struct {
        CannedReply reply;
        std::string reason;
    } rows[] = {
        {httpReply(201, valid), notOk},
        {httpReply(204, ""), notOk},
        {httpReply(500, std::string(3 << 20, 'x')), notOk}, // a large error page
        {httpReply(302, valid, "Location: " + fixture.relay().url("/provision") + "\r\n"), notOk},
        {httpReply(200, ""), "The relay's reply is not valid JSON"},
        {httpReply(200, members("\"d\"", "\"Secret\xff\"", "\"c\"")), "The relay's reply is not valid JSON"},
        {httpReply(200, "{}"), "The relay's reply has no value for \"device_id\"."},
        {httpReply(200, "[1]"), array},
        {httpReply(200, std::string(100000, '[') + std::string(100000, ']')), array},
        {httpReply(200, members("7", "\"s\"", "\"c\"")),
         "The value for \"device_id\" in the relay's reply is a number, not a string."},
        {httpReply(200, members("\"d\"", "null", "\"c\"")),
         "The value for \"server_token\" in the relay's reply is null, not a string."},
        {httpReply(200, members("\"d\"", "\"s\"", "{}")),
         "The value for \"client_token\" in the relay's reply is an object, not a string."},
        {httpReply(200, R"({"device_id":"d","server_token":"s"})"), "no value for \"client_token\""},
        {httpReply(200, members("\"\"", "\"s\"", "\"c\"")), missing},
        {httpReply(200, members("\"d\"", "\"\"", "\"c\"")), missing},
        {httpReply(200, members("\"d\"", "\"s\"", "\"\"")), missing},
        {httpReply(200, members("\"d\"", R"("s\u0000x")", "\"c\"")), "NUL character"},
        {{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + valid}, "transfer closed"}, // cut short
        {{"HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n", 0ms, 0ms, true},
         "The relay's reply was too large to be a provisioning answer."},
        {{httpReply(200, valid).bytes, 0ms, 100ms}, "imed out"}, // trickles past the time-out
        {{"", 60s}, "imed out"},                                 // accepts, never answers
    };
    for (const auto& row : rows) {
        hostile.answer(row.reply);
        EXPECT_NE(firstRunFailure(environment).find(row.reason), std::string::npos)
            << row.reply.bytes.substr(0, 80) << "\nexpected: " << row.reason;
    }
    EXPECT_EQ(fixture.relay().requestCount(), 0);   // the redirect was not followed
    EXPECT_LT(hostile.endlessBytesSent(), 8 << 20); // the endless body was cut off near its cap

    // The caller's wait runs out before the transfer's time-out.
    environment.timings.provisionRequestTimeout = 3s;
    environment.timings.provisionWait = 200ms;
    EXPECT_EQ(firstRunFailure(environment), "No response");

    // A well-formed answer over a channel nobody vouches for is refused unread.
    TemporaryDirectory keys;
    runProcess("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1",
                                    "-keyout", keys / "key.pem", "-out", keys / "cert.pem"});
    httplib::SSLServer tls((keys / "cert.pem").c_str(), (keys / "key.pem").c_str());
    tls.Post("/provision", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(valid, "application/json");
    });
    environment.provisionURL = "https://127.0.0.1:" + std::to_string(tls.bind_to_any_port("127.0.0.1")) + "/provision";
    environment.timings = {};
    std::jthread serving([&] { tls.listen_after_bind(); });
    EXPECT_NE(firstRunFailure(environment).find("certificate"), std::string::npos);
    tls.stop();
}
