#include "agent/AgentManager.h"
#include "common/AgentFixture.h"

#include <gtest/gtest.h>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

AgentManager probing(const AgentFixture& fixture, const std::string& healthURL)
{
    AgentEnvironment environment = fixture.environment();
    environment.healthURL = healthURL;
    return AgentManager(environment);
}

bool healthyWhenServerAnswers(int status, const std::string& body = "")
{
    AgentFixture fixture;
    LoopbackHttpServer agent;
    agent.server().Get("/healthz", [&](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "text/plain");
    });
    agent.start();
    return probing(fixture, agent.url("/healthz")).isAgentHealthy();
}

} // namespace

TEST(HealthProbe, OnlyStatus200CountsAsRunning)
{
    EXPECT_TRUE(healthyWhenServerAnswers(200));
    EXPECT_TRUE(healthyWhenServerAnswers(200, "{\"ok\":true}"));
    EXPECT_FALSE(healthyWhenServerAnswers(204));
    EXPECT_FALSE(healthyWhenServerAnswers(503));
    EXPECT_FALSE(healthyWhenServerAnswers(404));
}

TEST(HealthProbe, RedirectsAreNotFollowed)
{
    AgentFixture fixture;
    LoopbackHttpServer agent;
    agent.server().Get(
        "/healthz", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/elsewhere"); });
    agent.server().Get("/elsewhere",
                       [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    agent.start();
    EXPECT_FALSE(probing(fixture, agent.url("/healthz")).isAgentHealthy());
}

TEST(HealthProbe, RefusedOrSilentEndpointsReadAsStopped)
{
    AgentFixture fixture;
    EXPECT_FALSE(fixture.manager().isAgentHealthy()); // the fixture's health port is closed

    SilentListener silent;
    AgentEnvironment environment = fixture.environment();
    environment.healthURL = silent.url("/healthz");
    environment.timings.healthRequestTimeout = std::chrono::milliseconds(200);
    environment.timings.healthWait = std::chrono::milliseconds(400);
    EXPECT_FALSE(AgentManager(environment).isAgentHealthy());
}

TEST(HealthProbe, ProxySettingsAreIgnored)
{
    AgentFixture fixture;
    LoopbackHttpServer agent;
    agent.server().Get("/healthz", [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    agent.start();
    const std::string closedProxy = "http://127.0.0.1:" + std::to_string(closedLoopbackPort());
    ::setenv("http_proxy", closedProxy.c_str(), 1);
    ::setenv("HTTP_PROXY", closedProxy.c_str(), 1);
    ::setenv("NO_PROXY", "", 1);
    const bool healthy = probing(fixture, agent.url("/healthz")).isAgentHealthy();
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    ::unsetenv("NO_PROXY");
    EXPECT_TRUE(healthy);
}
