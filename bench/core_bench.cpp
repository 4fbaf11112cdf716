// Our process runner, health probe and provisioning request, each beside the bare
// system or library call it wraps. Run with random interleaving so that each pair
// shares the machine's moods.

#include "BenchSupport.h"
#include "agent/AgentManager.h"
#include "support/ProcessRunner.h"

#include <QCoreApplication>
#include <QProcess>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace kestrune {

struct AgentManagerBenchAccess {
    static ProvisionResponse provisionDevice(const AgentManager& manager) { return manager.provisionDevice(); }
};

} // namespace kestrune

namespace {

using namespace kestrune;

constexpr long long captureBytes = 256LL << 20;
const std::string producer = KESTRUNE_BENCH_PRODUCER;

struct Servers {
    int closedPort = bench::closedLoopbackPort();
    std::unique_ptr<bench::AgentStandin> agent;
    std::unique_ptr<bench::RelayStandin> relay;
};

Servers& servers()
{
    static Servers instance;
    return instance;
}

AgentManager managerFor(const std::string& healthURL, const std::string& provisionURL)
{
    return AgentManager(bench::networkOnlyEnvironment(healthURL, provisionURL));
}

std::string healthURL(int port)
{
    return "http://127.0.0.1:" + std::to_string(port) + "/healthz";
}

// --- rows 1, 2 and 2b: starting a process ----------------------------------------

void runProcessTrue(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(runProcess("/bin/true", {}));
    }
}

// The same job done by hand: both streams on pipes, drained with poll, then waitpid.
// Returns the bytes read from standard output, or -1 when the spawn failed.
long long spawnAndDrain(char* const argv[], std::string* sink)
{
    int output[2];
    int errors[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    ::close(errors[1]);
    std::array<pollfd, 2> watched{pollfd{output[0], POLLIN, 0}, pollfd{errors[0], POLLIN, 0}};
    std::array<char, 65536> buffer{};
    long long total = 0;
    int open = spawned == 0 ? 2 : 0;
    while (open > 0 && ::poll(watched.data(), watched.size(), -1) >= 0) {
        for (pollfd& watch : watched) {
            if (watch.fd < 0 || watch.revents == 0) {
                continue;
            }
            const ssize_t got = ::read(watch.fd, buffer.data(), buffer.size());
            if (got <= 0) {
                watch.fd = -1;
                --open;
            } else if (watch.fd == output[0]) {
                total += got;
                if (sink != nullptr) {
                    sink->append(buffer.data(), static_cast<std::size_t>(got));
                }
            }
        }
    }
    ::close(output[0]);
    ::close(errors[0]);
    if (spawned != 0) {
        return -1;
    }
    ::waitpid(pid, nullptr, 0);
    return total;
}

void posixSpawnTrue(benchmark::State& state)
{
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    for (auto _ : state) {
        if (spawnAndDrain(argv, nullptr) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
    }
}

void qprocessTrue(benchmark::State& state)
{
    for (auto _ : state) {
        QProcess process;
        process.start(QStringLiteral("/bin/true"), {});
        if (!process.waitForFinished(-1)) {
            state.SkipWithError("QProcess failed");
            break;
        }
        benchmark::DoNotOptimize(process.readAllStandardOutput());
        benchmark::DoNotOptimize(process.readAllStandardError());
    }
}

// --- row 3: capturing a large output -------------------------------------------

void runProcessCapture(benchmark::State& state)
{
    for (auto _ : state) {
        const std::string output = runProcess(producer, {std::to_string(captureBytes)});
        if (static_cast<long long>(output.size()) != captureBytes) {
            state.SkipWithError("short output");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * captureBytes);
}

// The usual way to keep a child's output: append each read to one growing string.
void pipeReadIntoString(benchmark::State& state)
{
    const std::string count = std::to_string(captureBytes);
    char* argv[] = {const_cast<char*>(producer.c_str()), const_cast<char*>(count.c_str()), nullptr};
    for (auto _ : state) {
        std::string output;
        if (spawnAndDrain(argv, &output) != captureBytes || static_cast<long long>(output.size()) != captureBytes) {
            state.SkipWithError("short output");
            break;
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * captureBytes);
}

// --- rows 4 and 5: the health probe ----------------------------------------------

void healthClosed(benchmark::State& state)
{
    const AgentManager manager = managerFor(healthURL(servers().closedPort), "");
    for (auto _ : state) {
        if (manager.isAgentHealthy()) {
            state.SkipWithError("something listens on the closed port");
            break;
        }
    }
}

void connectClosed(benchmark::State& state)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(servers().closedPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::close(fd);
        if (result == 0) {
            state.SkipWithError("something listens on the closed port");
            break;
        }
    }
}

void healthUp(benchmark::State& state)
{
    const AgentManager manager = managerFor(healthURL(servers().agent->port()), "");
    for (auto _ : state) {
        if (!manager.isAgentHealthy()) {
            state.SkipWithError("the stand-in agent did not answer");
            break;
        }
    }
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* context)
{
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
}

// One transfer on a fresh handle with the options our transport sets.
long bareCurl(const std::string& url, bool post, long timeoutMs, bool bypassProxy)
{
    CURL* handle = curl_easy_init();
    std::string body;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    if (bypassProxy) {
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    }
    if (post) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, 0L);
    }
    long status = 0;
    if (curl_easy_perform(handle) == CURLE_OK) {
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_easy_cleanup(handle);
    return status;
}

void curlGet(benchmark::State& state)
{
    const std::string url = healthURL(servers().agent->port());
    for (auto _ : state) {
        if (bareCurl(url, false, 1500, true) != 200) {
            state.SkipWithError("the stand-in agent did not answer");
            break;
        }
    }
}

// --- row 6: provisioning -----------------------------------------------------------

void provision(benchmark::State& state)
{
    const AgentManager manager = managerFor("", servers().relay->provisionURL());
    for (auto _ : state) {
        benchmark::DoNotOptimize(AgentManagerBenchAccess::provisionDevice(manager));
    }
}

void curlPost(benchmark::State& state)
{
    const std::string url = servers().relay->provisionURL();
    for (auto _ : state) {
        if (bareCurl(url, true, 12000, false) != 200) {
            state.SkipWithError("the relay did not answer");
            break;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv); // QProcess wants one
    curl_global_init(CURL_GLOBAL_DEFAULT);
    servers().agent = std::make_unique<bench::AgentStandin>(bench::closedLoopbackPort());
    servers().relay = std::make_unique<bench::RelayStandin>();

    const auto add = [](const char* name, void (*function)(benchmark::State&)) {
        return benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMicrosecond);
    };
    // Rows 1, 2 and 2b: the process's CPU time (all its threads, never the child's) is
    // measured beside the wall time, which still decides the iteration count; the bare
    // sequence's is the floor that row 2b is read against.
    add("row1_2/ours_runProcess_true", runProcessTrue)->MeasureProcessCPUTime();
    add("row1/base_posix_spawn_true", posixSpawnTrue)->MeasureProcessCPUTime();
    add("row2/base_QProcess_true", qprocessTrue)->MeasureProcessCPUTime();
    add("row3/ours_runProcess_capture_256MiB", runProcessCapture)->Iterations(1)->Unit(benchmark::kMillisecond);
    add("row3/base_read_into_string_256MiB", pipeReadIntoString)->Iterations(1)->Unit(benchmark::kMillisecond);
    add("row4/ours_isAgentHealthy_closed", healthClosed);
    add("row4/base_connect_closed", connectClosed);
    add("row5/ours_isAgentHealthy_200", healthUp);
    add("row5/base_curl_get", curlGet);
    add("row6/ours_provisionDevice", provision);
    add("row6/base_curl_post", curlPost);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    servers().agent.reset();
    servers().relay.reset();
    return 0;
}
