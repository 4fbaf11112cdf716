#include "agent/AgentManager.h"
#include "common/AgentFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono;

namespace {

bool healthy(const AgentFixture& fixture, const std::string& healthURL)
{
    AgentEnvironment environment = fixture.environment();
    environment.healthURL = healthURL;
    environment.timings = AgentTimings{}; // the product's own
    return AgentManager(environment).isAgentHealthy();
}

} // namespace

// With a proxy set that nobody answers: the loopback probe must go direct.
TEST(HealthProbe, AnyStatus200CountsAsRunningAndNothingElse)
{
    AgentFixture fixture;
    LoopbackHttpServer agent;
    agent.start();
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
        EXPECT_EQ(healthy(fixture, agent.url("/healthz")), row.healthy) << row.reply.bytes.substr(0, 40);
    }
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    EXPECT_EQ(fixture.relay().requestCount(), 0);
}

TEST(HealthProbe, ClosedPortReadsStoppedAtOnceAndSilenceWithinTheWait)
{
    AgentFixture fixture;
    auto begin = steady_clock::now();
    EXPECT_FALSE(healthy(fixture, "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/healthz"));
    EXPECT_LT(steady_clock::now() - begin, 1s);

    LoopbackHttpServer silent;
    silent.answer(CannedReply{"", 60s});
    silent.start();
    begin = steady_clock::now();
    EXPECT_FALSE(healthy(fixture, silent.url("/healthz")));
    EXPECT_LT(steady_clock::now() - begin, 2500ms);
}
