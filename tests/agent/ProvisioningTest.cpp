#include "agent/AgentManager.h"
#include "agent/HttpTransport.h"
#include "agent/JsonDecodingError.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

// The text of whatever the first-time configuration throws; the configuration
// must be left unwritten in every failing case.
template <typename Error> std::string firstRunFailure(const AgentManager& manager)
{
    try {
        manager.ensureConfigured();
    } catch (const std::exception& error) {
        EXPECT_NE(dynamic_cast<const Error*>(&error), nullptr) << "unexpected error type: " << error.what();
        EXPECT_FALSE(exists(manager.configPath()));
        EXPECT_FALSE(exists(manager.logPath()));
        return error.what();
    }
    ADD_FAILURE() << "expected a failure";
    return {};
}

std::string failureFor(int status, const std::string& body)
{
    AgentFixture fixture;
    fixture.setRelayReply(status, body);
    return firstRunFailure<std::exception>(fixture.manager());
}

} // namespace

TEST(Provisioning, RequestIsABodilessPostAndFurtherMembersAreIgnored)
{
    AgentFixture fixture;
    std::mutex seenMutex; // the logger runs on the server's thread
    std::string method;
    std::string body = "unset";
    fixture.setRelayReply(200, R"({"extra":1,"client_token":"c","server_token":"s","device_id":"d"})");
    fixture.relay().server().set_logger([&](const httplib::Request& request, const httplib::Response&) {
        std::lock_guard guard(seenMutex);
        method = request.method;
        body = request.body;
    });
    const AgentManager manager = fixture.manager();
    manager.ensureConfigured();
    std::lock_guard guard(seenMutex);
    EXPECT_EQ(method, "POST");
    EXPECT_EQ(body, "");
    EXPECT_EQ(splitLines(readFile(manager.configPath()))[0], "HALVENIX_DEVICE_ID='d'");
}

TEST(Provisioning, StatusOtherThan200Fails)
{
    const std::string valid = R"({"device_id":"d","server_token":"s","client_token":"c"})";
    for (const int status : {201, 204, 301, 404, 500}) {
        EXPECT_EQ(failureFor(status, valid), "Relay did not return 200") << status;
    }
}

TEST(Provisioning, BodiesThatAreNotTheExpectedObjectFailWithTheDecodingError)
{
    const auto decodingFailure = [](const std::string& body) {
        AgentFixture fixture;
        fixture.setRelayReply(200, body);
        return firstRunFailure<JsonDecodingError>(fixture.manager());
    };
    EXPECT_NE(decodingFailure("").find("not valid JSON"), std::string::npos);
    EXPECT_NE(decodingFailure("{}").find("\"device_id\""), std::string::npos);
    EXPECT_NE(decodingFailure("[1,2]").find("object"), std::string::npos);
    EXPECT_NE(decodingFailure(R"({"device_id":7,"server_token":"s","client_token":"c"})").find("\"device_id\""),
              std::string::npos);
    // Decoding stops at the first failing member in field order.
    EXPECT_NE(decodingFailure(R"({"device_id":"d","server_token":null,"client_token":5})").find("\"server_token\""),
              std::string::npos);
    EXPECT_NE(decodingFailure(R"({"device_id":"d","server_token":"s"})").find("\"client_token\""), std::string::npos);
}

TEST(Provisioning, EmptyMembersFailWithMissingFields)
{
    for (const char* body : {R"({"device_id":"","server_token":"s","client_token":"c"})",
                             R"({"device_id":"d","server_token":"","client_token":"c"})",
                             R"({"device_id":"d","server_token":"s","client_token":""})"}) {
        EXPECT_EQ(failureFor(200, body), "Relay response was missing required fields") << body;
    }
}

TEST(Provisioning, OversizedBodyFailsClearly)
{
    const std::string huge =
        R"({"device_id":")" + std::string(2 << 20, 'x') + R"(","server_token":"s","client_token":"c"})";
    EXPECT_EQ(failureFor(200, huge), "The relay's reply was too large to be a provisioning answer.");
}

TEST(Provisioning, TransportFailuresPassThroughAndSilenceEndsInNoResponse)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.provisionURL = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/provision";
    EXPECT_FALSE(firstRunFailure<NetworkError>(AgentManager(environment)).empty());

    // A peer that accepts and stays silent: the request's own time-out ends it.
    SilentListener silent;
    environment.provisionURL = silent.url("/provision");
    environment.timings.provisionRequestTimeout = std::chrono::milliseconds(300);
    environment.timings.provisionWait = std::chrono::milliseconds(5000);
    EXPECT_NE(firstRunFailure<NetworkError>(AgentManager(environment)).find("imed out"), std::string::npos);

    // The wait runs out before the transport reports anything.
    environment.timings.provisionRequestTimeout = std::chrono::milliseconds(3000);
    environment.timings.provisionWait = std::chrono::milliseconds(200);
    EXPECT_EQ(firstRunFailure<KestruneError>(AgentManager(environment)), "No response");
}
