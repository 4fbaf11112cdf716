#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>

#include <httplib.h>

#include <filesystem>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono_literals;

namespace {

const std::string validReply = R"({"device_id":"d","server_token":"s","client_token":"c"})";

std::string withMembers(const std::string& device, const std::string& server, const std::string& client)
{
    return R"({"device_id":)" + device + R"(,"server_token":)" + server + R"(,"client_token":)" + client + "}";
}

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

TEST(HostileRelay, EveryBadReplyFailsWithItsReason)
{
    AgentFixture fixture; // its relay answers well: the target of a redirect
    LoopbackHttpServer hostile;
    hostile.start();
    AgentEnvironment environment = fixture.environment();
    environment.provisionURL = hostile.url("/provision");
    environment.timings.provisionRequestTimeout = 1500ms;
    environment.timings.provisionWait = 8s;

    const std::string notOk = "Relay did not return 200";
    const std::string notJson = "The relay's reply is not valid JSON";
    const std::string missing = "Relay response was missing required fields";
    const std::string nested = std::string(100000, '[') + std::string(100000, ']');
    const struct {
        CannedReply reply;
        std::string reason;
    } rows[] = {
        {httpReply(201, validReply), notOk},
        {httpReply(204, ""), notOk},
        {httpReply(500, std::string(3 << 20, 'x')), notOk}, // a large error page
        {httpReply(302, validReply, "Location: " + fixture.relay().url("/provision") + "\r\n"), notOk},
        {httpReply(200, ""), notJson},
        {httpReply(200, withMembers("\"d\"", "\"Secret\xff\"", "\"c\"")), notJson},
        {httpReply(200, "{}"), "The relay's reply has no value for \"device_id\"."},
        {httpReply(200, "[1]"), "The relay's reply is an array where an object was expected."},
        {httpReply(200, nested), "The relay's reply is an array where an object was expected."},
        {httpReply(200, withMembers("7", "\"s\"", "\"c\"")),
         "The value for \"device_id\" in the relay's reply is a number, not a string."},
        {httpReply(200, withMembers("\"d\"", "null", "\"c\"")),
         "The value for \"server_token\" in the relay's reply is null, not a string."},
        {httpReply(200, withMembers("\"d\"", "\"s\"", "{}")),
         "The value for \"client_token\" in the relay's reply is an object, not a string."},
        {httpReply(200, R"({"device_id":"d","server_token":"s"})"), "no value for \"client_token\""},
        {httpReply(200, withMembers("\"\"", "\"s\"", "\"c\"")), missing},
        {httpReply(200, withMembers("\"d\"", "\"\"", "\"c\"")), missing},
        {httpReply(200, withMembers("\"d\"", "\"s\"", "\"\"")), missing},
        {httpReply(200, withMembers("\"d\"", R"("s\u0000x")", "\"c\"")), "NUL character"},
        {{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + validReply}, "transfer closed"}, // cut short
        {{"HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n", 0ms, 0ms, true},
         "The relay's reply was too large to be a provisioning answer."},
        {{httpReply(200, validReply).bytes, 0ms, 100ms}, "imed out"}, // trickles past the time-out
        {{"", 60s}, "imed out"},                                      // accepts, never answers
    };
    for (const auto& row : rows) {
        hostile.answer(row.reply);
        EXPECT_NE(firstRunFailure(environment).find(row.reason), std::string::npos)
            << row.reply.bytes.substr(0, 80) << "\nexpected: " << row.reason;
    }
    EXPECT_EQ(fixture.relay().requestCount(), 0);      // the redirect was not followed
    EXPECT_LT(hostile.endlessBytesSent(), 8 << 20);       // the endless body was cut off near its cap

    // The caller's wait runs out before the transfer's time-out.
    environment.timings.provisionRequestTimeout = 3s;
    environment.timings.provisionWait = 200ms;
    EXPECT_EQ(firstRunFailure(environment), "No response");
}

// A well-formed answer over a channel nobody vouches for is refused unread.
TEST(HostileRelay, SelfSignedCertificateIsRefused)
{
    AgentFixture fixture;
    TemporaryDirectory keys;
    runProcess("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1",
                                    "-keyout", keys / "key.pem", "-out", keys / "cert.pem"});
    httplib::SSLServer tls((keys / "cert.pem").c_str(), (keys / "key.pem").c_str());
    std::atomic<int> answered{0};
    tls.Post("/provision", [&](const httplib::Request&, httplib::Response& response) {
        ++answered;
        response.set_content(validReply, "application/json");
    });
    const int port = tls.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { tls.listen_after_bind(); });
    AgentEnvironment environment = fixture.environment();
    environment.provisionURL = "https://127.0.0.1:" + std::to_string(port) + "/provision";
    EXPECT_NE(firstRunFailure(environment).find("certificate"), std::string::npos);
    tls.stop();
    serving.join();
    EXPECT_EQ(answered.load(), 0);
}
