#pragma once

#include <exception>
#include <string>

namespace kestrune {

// The program's own failures. Each case carries one finished text for the user;
// platform failures (files, processes, network, JSON) travel as their own types.
class KestruneError : public std::exception {
  public:
    enum class Case { missingBundledAgent, missingShell, processFailed, provisionFailed };

    static KestruneError missingBundledAgent(std::string agentPath);
    // The shell that starts the agent is not installed.
    static KestruneError missingShell(std::string shellPath);
    static KestruneError processFailed(std::string message);
    static KestruneError provisionFailed(std::string message);

    Case errorCase() const noexcept { return case_; }
    const std::string& payload() const noexcept { return payload_; }

    // The text meant for the user.
    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    KestruneError(Case errorCase, std::string payload);

    Case case_;
    std::string payload_;
    std::string description_;
};

} // namespace kestrune
