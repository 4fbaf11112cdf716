#include "agent/AgentManager.h"

#include "agent/AgentConfiguration.h"
#include "agent/HttpTransport.h"
#include "agent/ProgramConstants.h"
#include "agent/StateDirectoryLock.h"
#include "support/AtomicWrite.h"
#include "support/KestruneError.h"
#include "support/PathJoin.h"
#include "support/ProcessRunner.h"
#include "support/TextEncoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string_view>

namespace kestrune {

namespace {

constexpr mode_t privateFileMode = 0600;
constexpr mode_t privateDirectoryMode = 0700;

bool somethingExistsAt(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// True when `path` is a regular file (a link does not count) with exactly `mode` and `text`.
bool fileHolds(const std::string& path, const std::string& text, mode_t mode)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    struct stat status {};
    bool same = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 07777) == mode &&
                status.st_size == static_cast<off_t>(text.size());
    std::string held(same ? text.size() + 1 : 0, '\0'); // one byte more: a file that grew meanwhile differs
    std::size_t got = 0;
    while (same && got < held.size()) {
        const ssize_t read = ::read(descriptor, held.data() + got, held.size() - got);
        if (read <= 0) {
            same = read == 0;
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    ::close(descriptor);
    return same && std::string_view(held.data(), got) == text;
}

// One exchange between a waiting caller and a completion that may come too late:
// both hold it, so a late completion writes into a cell that is still alive.
// The caller moves the outcome out, so nothing in it is shared with a late completion.
struct ProvisionExchange {
    std::mutex mutex;
    std::optional<HttpOutcome> outcome; // none: no answer yet
    std::binary_semaphore done{0};
};

} // namespace

AgentManager::AgentManager() : AgentManager(AgentEnvironment::current()) {}

AgentManager::AgentManager(AgentEnvironment environment)
    : environment_(std::move(environment)), stateDirectory_(joinPath(environment_.homeDirectory, ".halvenix")),
      configPath_(joinPath(stateDirectory_, "config.env")), logPath_(joinPath(stateDirectory_, "server.log")),
      serviceManager_(makeServiceManager(environment_)),
      bundledAgentPath_(environment_.resourcesDirectory
                            ? joinPath(*environment_.resourcesDirectory, "halvenix-server")
                            : joinPath(environment_.bundleDirectory, "Contents/Resources/halvenix-server"))
{
}

void AgentManager::ensureStateDirectoryExists() const noexcept
{
    std::error_code ignored;
    std::filesystem::create_directories(stateDirectory_, ignored);
    ::chmod(stateDirectory_.c_str(), privateDirectoryMode);
}

void AgentManager::ensureConfigured() const
{
    ensureStateDirectoryExists();
    if (!somethingExistsAt(bundledAgentPath_)) {
        throw KestruneError::missingBundledAgent(bundledAgentPath_);
    }
    // Many Linux systems lack the shell: without this the job would fail to launch,
    // be retried for ever, and the status would only ever read stopped.
    if (::access(environment_.shellPath.c_str(), X_OK) != 0) {
        throw KestruneError::missingShell(environment_.shellPath);
    }
    if (somethingExistsAt(configPath_)) {
        return;
    }
    // Two first runs at once (threads or copies of the app) must provision once and
    // never mix their files: the second finds the file after the first is done.
    StateDirectoryLock lock(stateDirectory_);
    if (somethingExistsAt(configPath_)) {
        return;
    }
    writeFirstConfiguration();
}

void AgentManager::writeFirstConfiguration() const
{
    AgentConfigurationValues values;
    values.provision = provisionDevice();
    values.jwtSecret = randomHex(32, environment_.secureRandom);
    values.relayURL = environment_.relayURL;
    values.allowedPath = environment_.homeDirectory;
    requireShellTransportable(values);

    // config.env marks the first run as done, so it comes last: a run that dies or
    // fails before it is repeated whole, and nobody finds it without the private log.
    if (!somethingExistsAt(logPath_)) {
        atomicWrite("", logPath_, privateFileMode);
    }
    atomicWrite(agentConfigurationText(values), configPath_, privateFileMode);
}

ProvisionResponse AgentManager::provisionDevice() const
{
    HttpRequest request;
    request.method = HttpRequest::Method::post;
    request.url = environment_.provisionURL;
    request.timeout = environment_.timings.provisionRequestTimeout;

    auto exchange = std::make_shared<ProvisionExchange>();
    startHttpRequest(std::move(request), [exchange](HttpOutcome outcome) {
        {
            std::lock_guard guard(exchange->mutex);
            exchange->outcome = std::move(outcome);
        }
        exchange->done.release();
    });
    (void)exchange->done.try_acquire_for(environment_.timings.provisionWait);

    HttpOutcome outcome;
    {
        std::lock_guard guard(exchange->mutex);
        if (!exchange->outcome) {
            throw KestruneError::provisionFailed("No response");
        }
        outcome = std::move(*exchange->outcome);
    }
    if (outcome.error) {
        std::rethrow_exception(outcome.error);
    }
    // The status first: a failing relay's large error page still reads as a failing status.
    if (!outcome.reply || outcome.reply->status != 200) {
        throw KestruneError::provisionFailed("Relay did not return 200");
    }
    if (outcome.bodyTooLarge) {
        throw KestruneError::provisionFailed("The relay's reply was too large to be a provisioning answer.");
    }
    ProvisionResponse response = ProvisionResponse::decode(outcome.reply->body);
    if (response.deviceID.empty() || response.serverToken.empty() || response.clientToken.empty()) {
        throw KestruneError::provisionFailed("Relay response was missing required fields");
    }
    return response;
}

std::string AgentManager::launchCommand() const
{
    return "set -a; source " + shellQuote(configPath_) + "; set +a; exec " + shellQuote(bundledAgentPath_);
}

void AgentManager::writeLaunchAgent() const
{
    const std::string path = serviceManager_->definitionPath();
    const std::string text = serviceManager_->definitionText({environment_.shellPath, launchCommand(), logPath_});
    if (serviceManager_->keepsUnchangedDefinition() && fileHolds(path, text, privateFileMode)) {
        return;
    }
    std::filesystem::create_directories(std::filesystem::path(path).parent_path()); // throws naming the folder
    atomicWrite(text, path, privateFileMode);
}

void AgentManager::start() const
{
    serviceManager_->start();
}

void AgentManager::stop() const
{
    serviceManager_->stop();
}

std::unique_ptr<AgentJobWatch> AgentManager::watchAgentJob(const AgentJobStateChanged& changed) const
{
    return serviceManager_->watchJob(changed);
}

bool AgentManager::isAgentHealthy() const noexcept
{
    try {
        HttpRequest request;
        request.method = HttpRequest::Method::get;
        request.url = environment_.healthURL;
        // On this thread, cut off where the caller stops waiting: a later answer would
        // be discarded anyway. Handing the transfer to a thread of its own and waiting
        // for it crossed two more threads on every refresh.
        request.timeout = std::min(environment_.timings.healthRequestTimeout, environment_.timings.healthWait);
        request.bypassProxy = true; // loopback: a proxy could only answer for someone else
        request.maxBodyBytes = 0;   // the status decides: a 200 counts whatever its body
        const HttpOutcome outcome = performHttpRequest(request);
        return outcome.reply && outcome.reply->status == 200;
    } catch (...) {
        return false; // out of memory, say: the agent reads as stopped
    }
}

std::string AgentManager::pairingQROutput() const
{
    return runProcess(environment_.shellPath, {"-lc", launchCommand() + " --print-qr"});
}

} // namespace kestrune
