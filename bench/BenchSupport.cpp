#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kestrune::bench {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int closedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot find a free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool waitForListener(int port, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        const int fd = connectTo(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool answers200(int port, const std::string& path)
{
    const int fd = connectTo(port);
    if (fd < 0) {
        return false;
    }
    const timeval timeout{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    char reply[64] = {};
    std::size_t got = 0;
    while (ok && got < 12) {
        const ssize_t n = ::recv(fd, reply + got, sizeof reply - 1 - got, 0);
        if (n <= 0) {
            ok = false;
        } else {
            got += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return ok && std::strncmp(reply + 8, " 200", 4) == 0;
}

Child::Child(const std::vector<std::string>& arguments,
             const std::vector<std::pair<std::string, std::string>>& environment, bool captureOutput)
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : environment) {
            replaced = replaced || text.rfind(name + "=", 0) == 0;
        }
        if (!replaced) {
            variables.push_back(text);
        }
    }
    for (const auto& [name, value] : environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (captureOutput) {
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // The stand-ins log every request there; the table is what we print.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Each child leads its own group, so stopping it reaches what it started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int result = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput) {
        ::close(fds[1]);
        output_ = fds[0];
    }
    if (result != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + arguments.front() + ": " + std::strerror(result));
    }
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), output_(other.output_)
{
    other.pid_ = -1;
    other.output_ = -1;
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        output_ = other.output_;
        other.pid_ = -1;
        other.output_ = -1;
    }
    return *this;
}

Child::~Child()
{
    stop();
}

std::string Child::readLine(std::chrono::milliseconds deadline)
{
    std::string line;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (output_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd watched{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char c = 0;
        if (::read(output_, &c, 1) != 1) {
            return {};
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return line;
}

void Child::stop()
{
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
    if (pid_ <= 0) {
        return;
    }
    ::kill(-pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) { // up to 3 s
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

RelayStandin::RelayStandin() : child_({standinDirectory() + "/relay-standin", "--port", "0"}, {}, true)
{
    // First line: "listening on 127.0.0.1:<port>".
    const std::string line = child_.readLine(std::chrono::seconds(10));
    const auto colon = line.rfind(':');
    if (colon == std::string::npos) {
        throw std::runtime_error("the relay stand-in did not say its port");
    }
    port_ = std::stoi(line.substr(colon + 1));
}

std::vector<std::pair<std::string, std::string>> agentVariables(int port)
{
    return {{"HALVENIX_DEVICE_ID", "bench-device"},
            {"HALVENIX_JWT_SECRET", std::string(64, 'a')},
            {"HALVENIX_RELAY_SERVER_TOKEN", "bench-server-token"},
            {"HALVENIX_RELAY_CLIENT_TOKEN", "bench-client-token"},
            {"HALVENIX_RELAY_URL", "wss://relay.bench"},
            {"HALVENIX_PORT", std::to_string(port)},
            {"HALVENIX_ALLOWED_PATHS", "/tmp"}};
}

AgentStandin::AgentStandin(int port) : child_({standinAgentPath()}, agentVariables(port)), port_(port)
{
    if (!waitForListener(port, std::chrono::seconds(10))) {
        throw std::runtime_error("the stand-in agent did not start listening");
    }
}

kestrune::AgentEnvironment networkOnlyEnvironment(const std::string& healthURL, const std::string& provisionURL)
{
    kestrune::AgentEnvironment environment;
    environment.homeDirectory = "/nonexistent";
    environment.resourcesDirectory = "/nonexistent";
    environment.bundleDirectory = "/nonexistent";
    environment.launchctlPath = "/bin/false";
    environment.shellPath = "/bin/sh";
    environment.provisionURL = provisionURL;
    environment.healthURL = healthURL;
    environment.relayURL = "wss://relay.bench";
    return environment;
}

std::string standinAgentPath()
{
    return KESTRUNE_BENCH_AGENT;
}

std::string standinDirectory()
{
    return KESTRUNE_BENCH_STANDINS;
}

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace kestrune::bench
