#pragma once

#include "agent/AgentManager.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::bench {

// A loopback port nothing listens on (bound, then closed).
int closedLoopbackPort();

// True once something accepts connections on 127.0.0.1:`port`, false at the deadline.
bool waitForListener(int port, std::chrono::milliseconds deadline);

// True when 127.0.0.1:`port` answers GET `path` with 200, within about 200 ms.
bool answers200(int port, const std::string& path);

// A child process, ended (SIGTERM, then SIGKILL after a grace) with its owner.
class Child {
  public:
    Child() = default;
    // `environment` entries are added to (or replace those of) ours. Standard
    // output goes to a pipe when `captureOutput`, else to /dev/null.
    Child(const std::vector<std::string>& arguments,
          const std::vector<std::pair<std::string, std::string>>& environment, bool captureOutput = false);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child();

    pid_t pid() const { return pid_; }
    // One line of standard output (without its newline); empty at the deadline or end.
    std::string readLine(std::chrono::milliseconds deadline);
    // Ends the child and reaps it; safe to call twice.
    void stop();

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// The relay stand-in on a free port.
class RelayStandin {
  public:
    RelayStandin();
    int port() const { return port_; }
    std::string provisionURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/provision"; }

  private:
    Child child_;
    int port_ = 0;
};

// The stand-in agent serving /healthz on `port`, ready when constructed.
class AgentStandin {
  public:
    explicit AgentStandin(int port);
    int port() const { return port_; }

  private:
    Child child_;
    int port_;
};

// The environment the stand-in agent reads, for `port`.
std::vector<std::pair<std::string, std::string>> agentVariables(int port);

// A manager with no files, no service manager and no agent: only its two network
// calls, against `healthURL` and `provisionURL`, do anything.
kestrune::AgentEnvironment networkOnlyEnvironment(const std::string& healthURL, const std::string& provisionURL = "");

std::string standinAgentPath();
std::string standinDirectory();

double millisecondsSince(std::chrono::steady_clock::time_point start);

} // namespace kestrune::bench
