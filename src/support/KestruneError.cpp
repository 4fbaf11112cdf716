#include "support/KestruneError.h"

#include <utility>

namespace kestrune {

namespace {

std::string describe(KestruneError::Case errorCase, const std::string& payload)
{
    if (errorCase == KestruneError::Case::missingBundledAgent) {
        return "Bundled agent was not found at " + payload + ". Reinstall Kestrune.app.";
    }
    if (errorCase == KestruneError::Case::missingShell) {
        return "The agent is started through " + payload + ", which was not found. Install zsh and try again.";
    }
    return payload;
}

} // namespace

KestruneError::KestruneError(Case errorCase, std::string payload)
    : case_(errorCase), payload_(std::move(payload)), description_(describe(case_, payload_))
{
}

KestruneError KestruneError::missingBundledAgent(std::string agentPath)
{
    return {Case::missingBundledAgent, std::move(agentPath)};
}

KestruneError KestruneError::missingShell(std::string shellPath)
{
    return {Case::missingShell, std::move(shellPath)};
}

KestruneError KestruneError::processFailed(std::string message)
{
    return {Case::processFailed, std::move(message)};
}

KestruneError KestruneError::provisionFailed(std::string message)
{
    return {Case::provisionFailed, std::move(message)};
}

} // namespace kestrune
