#pragma once

#include "agent/AgentManager.h"
#include "common/LoopbackHttpServer.h"
#include "common/TestFiles.h"

#include <string>
#include <vector>

namespace kestrune::testkit {

// A home folder whose path holds a space, an apostrophe and a non-ASCII letter, so
// that every test quotes; a resources folder holding a fake agent; a launchctl
// that records its argument vectors; and a loopback relay answering a valid
// provisioning reply.
class AgentFixture {
  public:
    AgentFixture();

    // The environment for a manager: every path and URL points into this fixture.
    AgentEnvironment environment() const;
    AgentManager manager() const { return AgentManager(environment()); }

    // Makes the recording launchctl fail for one subcommand.
    void failLaunchctl(const std::string& subcommand, int status, const std::string& message);
    // Makes the recording launchctl wait, for one subcommand, while `gate` exists.
    void holdLaunchctl(const std::string& subcommand, const std::string& gate);
    // One line per launchctl call, its arguments joined by single spaces.
    std::string launchctlCalls() const { return readFile(root_ / "launchctl-calls"); }

    std::string home() const { return root_ / "J\xc3\xb6rg's Home"; }
    std::string resources() const { return root_ / "Resources"; }
    std::string agentPath() const { return resources() + "/halvenix-server"; }
    LoopbackHttpServer& relay() { return relay_; }

  private:
    TemporaryDirectory root_;
    LoopbackHttpServer relay_;
};

} // namespace kestrune::testkit
