#include "agent/SystemdServiceManager.h"

#include "agent/AbsorbedFailures.h"
#include "agent/ProgramConstants.h"
#include "agent/SystemdUnitDefinition.h"
#include "support/ProcessRunner.h"

#include <string_view>

namespace kestrune {

namespace {

// Every call drives the user's own manager.
std::vector<std::string> withUserScope(const std::vector<std::string>& arguments)
{
    std::vector<std::string> scoped{"--user"};
    scoped.insert(scoped.end(), arguments.begin(), arguments.end());
    return scoped;
}

// `systemctl show` prints a list as words separated by spaces; a word holding a space
// or a quote is double-quoted, with a backslash before \ " ` and $ inside.
std::vector<std::string> showListWords(std::string_view text)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\' && i + 1 < text.size()) {
                word += text[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
            }
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == '"') {
                quoted = true;
            } else {
                word += c;
            }
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

// The manager's own search path names the user's folder first of those ending in
// /systemd/user. The system's folders (and a word that is not absolute) are never it,
// even if a systemctl that leaves spaces unquoted split the user's path into words:
// then none is found, and the app's own guess stands.
bool isUserUnitFolder(const std::string& folder)
{
    for (const char* system : {"/etc/", "/usr/", "/run/", "/lib/"}) {
        if (folder.starts_with(system)) {
            return false;
        }
    }
    return folder.starts_with('/') && folder.ends_with("/systemd/user");
}

} // namespace

SystemdServiceManager::SystemdServiceManager(std::string systemctlPath, std::string fallbackUnitDirectory)
    : systemctlPath_(std::move(systemctlPath)), fallbackUnitDirectory_(std::move(fallbackUnitDirectory))
{
}

std::string SystemdServiceManager::definitionPath() const
{
    return userUnitDirectory() + "/" + systemdUnitName;
}

// The manager reads the user's units from its own XDG_CONFIG_HOME, which the app's
// may not match (a session that sets it after the manager started, a terminal with
// another value): a unit written elsewhere is never seen. So the manager is asked,
// each time, as it may have been restarted since: one quick child process per Start.
std::string SystemdServiceManager::userUnitDirectory() const
{
    const std::vector<std::string> arguments = withUserScope({"show", "--property=UnitPath", "--value"});
    try {
        const std::string answer = runProcess(systemctlPath_, arguments);
        for (const std::string& folder : showListWords(answer)) {
            if (isUserUnitFolder(folder)) {
                return folder;
            }
        }
        reportAbsorbedFailure("systemctl", arguments, "named no user unit folder: " + answer);
    } catch (const std::exception& error) {
        reportAbsorbedFailure("systemctl", arguments, std::string("failed: ") + error.what());
    }
    return fallbackUnitDirectory_; // no manager to ask: starting it will fail, and say so
}

std::string SystemdServiceManager::definitionText(const ServiceJob& job) const
{
    return systemdUnitText({job.shellPath, job.launchCommand, job.logPath});
}

void SystemdServiceManager::runSystemctl(const std::vector<std::string>& arguments) const
{
    runProcess(systemctlPath_, withUserScope(arguments));
}

void SystemdServiceManager::start() const
{
    // Every failure is absorbed: the status refresh that follows shows the outcome.
    // Each step is tried even after one failed, as a later one may still succeed.
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"daemon-reload"}, std::vector<std::string>{"enable", systemdUnitName},
          std::vector<std::string>{"restart", systemdUnitName}}) {
        try {
            runSystemctl(step);
        } catch (const std::exception& error) {
            reportAbsorbedFailure("systemctl", withUserScope(step), std::string("failed: ") + error.what());
        }
    }
}

void SystemdServiceManager::stop() const
{
    runSystemctl({"stop", systemdUnitName});
}

} // namespace kestrune
