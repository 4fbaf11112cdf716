#include "support/ProcessRunner.h"

#include "support/KestruneError.h"
#include "support/OutputAccumulator.h"
#include "support/Platform.h"
#include "support/Utf8.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

extern char** environ;

namespace kestrune {

int (*makePipeCall)(std::array<int, 2>&) = platform::makeCloseOnExecPipe;
decltype(&::posix_spawn) spawnCall = ::posix_spawn;

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what)
{
    throw std::system_error(error, std::generic_category(), what);
}

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor readEnd;
    Descriptor writeEnd;
};

Pipe makePipe()
{
    std::array<int, 2> fds{};
    // Close-on-exec: a concurrently spawned child must never inherit our write end,
    // or our reader would wait for that unrelated child to exit.
    if (makePipeCall(fds) != 0) {
        throwErrno(errno, "Failed to create a pipe");
    }
    return Pipe{Descriptor(fds[0]), Descriptor(fds[1])};
}

class SpawnFileActions {
  public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }

    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
  public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }

    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
};

void check(int result, const char* what)
{
    if (result != 0) {
        throwErrno(result, what);
    }
}

pid_t spawnChild(const std::string& executable, const std::vector<std::string>& arguments, const Pipe& output,
                 const Pipe& errorOutput)
{
    SpawnFileActions actions;
    SpawnAttributes attributes;
    check(posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0),
          "Failed to prepare the child's standard input");
    check(posix_spawn_file_actions_adddup2(actions.get(), output.writeEnd.get(), STDOUT_FILENO),
          "Failed to prepare the child's standard output");
    check(posix_spawn_file_actions_adddup2(actions.get(), errorOutput.writeEnd.get(), STDERR_FILENO),
          "Failed to prepare the child's standard error");
    // Descriptors opened elsewhere without close-on-exec (by libraries) stay ours.
    check(platform::inheritOnlyStandardDescriptors(*actions.get(), *attributes.get()),
          "Failed to prepare the child's descriptors");
    // Every signal at its default, as a program started afresh expects (a signal we
    // ignore, or libcurl ignores for a moment, would stay ignored in the child). It
    // is also cheaper: glibc otherwise asks each signal's disposition before setting
    // it, sixty system calls more in the child while we wait for its exec.
    sigset_t everySignal;
    sigfillset(&everySignal);
    short flags = 0;
    check(posix_spawnattr_getflags(attributes.get(), &flags), "Failed to prepare the child's signals");
    check(posix_spawnattr_setsigdefault(attributes.get(), &everySignal), "Failed to prepare the child's signals");
    check(posix_spawnattr_setflags(attributes.get(), static_cast<short>(flags | POSIX_SPAWN_SETSIGDEF)),
          "Failed to prepare the child's signals");

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    int result = 0;
    do {
        result = spawnCall(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    } while (result == EINTR);
    if (result != 0) {
        throwErrno(result, "Failed to launch " + executable);
    }
    return pid;
}

// A pipe's default 64 KiB buffer costs a wake-up per 64 KiB; a child that writes
// a lot gets a larger one, so fewer trips are needed.
constexpr std::size_t largeOutput = std::size_t{1024} * 1024;

// Reads both streams to their ends while the child runs: a child that fills one
// pipe's buffer would otherwise block forever while we wait on the other.
void drain(Descriptor& output, Descriptor& errorOutput, OutputAccumulator& outputBytes, OutputAccumulator& errorBytes)
{
    std::array<pollfd, 2> watched{pollfd{output.get(), POLLIN, 0}, pollfd{errorOutput.get(), POLLIN, 0}};
    std::array<OutputAccumulator*, 2> sinks{&outputBytes, &errorBytes};
    std::array<bool, 2> widened{false, false};
    int open = 2;
    while (open > 0) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno(errno, "Failed to wait for the child's output");
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) {
                continue;
            }
            const ssize_t got = sinks[i]->readFrom(watched[i].fd);
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                // Not an end: taken as one, it would cut the output short, and a child
                // still writing to the unread pipe would block our wait for ever.
                throwErrno(errno, "Failed to read the child's output");
            }
            if (got == 0) {
                watched[i].fd = -1; // end of stream: poll ignores negative descriptors
                --open;
            } else if (got > 0 && !widened[i] && sinks[i]->size() >= largeOutput) {
                platform::requestPipeBuffer(watched[i].fd, largeOutput);
                widened[i] = true;
            }
        }
    }
}

int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throwErrno(errno, "Failed to wait for the child process");
        }
    }
    return status;
}

} // namespace

std::string runProcess(const std::string& executable, const std::vector<std::string>& arguments)
{
    Pipe output = makePipe();
    Pipe errorOutput = makePipe();
    const pid_t pid = spawnChild(executable, arguments, output, errorOutput);
    output.writeEnd.reset();
    errorOutput.writeEnd.reset();

    OutputAccumulator outputBytes;
    OutputAccumulator errorBytes;
    try {
        drain(output.readEnd, errorOutput.readEnd, outputBytes, errorBytes);
    } catch (...) {
        // Closed first: a child blocked writing to a full pipe then fails its write
        // and ends, instead of blocking this wait forever.
        output.readEnd.reset();
        errorOutput.readEnd.reset();
        waitForExit(pid);
        throw;
    }
    const int status = waitForExit(pid);

    std::string outputText = decodeUtf8Strictly(outputBytes.take());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return outputText;
    }
    std::string errorText = decodeUtf8Strictly(errorBytes.take());
    const std::string& message = errorText.empty() ? outputText : errorText;
    throw KestruneError::processFailed(trimWhitespaceAndNewlines(message));
}

} // namespace kestrune
