#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrune::reliability {

// Runs are smaller under the sanitizers, whose process start-up and system calls are
// many times slower; the properties checked are the same.
#if KESTRUNE_RELIABILITY_SANITIZED
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// A child process started by path (no shell), its standard output on a pipe and,
// when asked, its standard input on another. Killed and reaped on destruction.
class ChildProcess {
  public:
    ChildProcess(const std::string& executable, const std::vector<std::string>& arguments, bool pipedInput = false);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // One byte of its output, or -1 at the end of it.
    int readByte();
    // Everything it writes until it closes its output.
    std::string readAll();
    // Ends its input: a child waiting on it goes ahead.
    void closeInput();
    // Sends SIGKILL (unless it has already been reaped).
    void kill();
    // Reaps it and returns the raw wait status.
    int wait();

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    int input_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// Runs a program to its end and returns its standard output byte for byte (the core's
// runner decodes output as UTF-8, which would hide a byte that came back wrong).
// Fails the test when it does not exit with status 0.
std::string rawOutput(const std::string& executable, const std::vector<std::string>& arguments);

std::vector<std::string> splitOnNul(const std::string& text);

// Absolute path of a helper built beside the tests.
std::string helperPath(const char* name);

// Entries of /proc/self/fd, not counting the one opened to list them.
int openDescriptorCount();
// VmHWM of /proc/self/status: the most this process has ever held resident.
long peakResidentKiB();
// Lowers the peak mark to the current resident size, so a later peak is this step's.
void resetPeakResident();

// A loopback TCP server that runs `behaviour` on each accepted connection in turn on
// its own thread, then closes the connection.
class RawServer {
  public:
    using Behaviour = std::function<void(int connection, RawServer& server)>;

    explicit RawServer(Behaviour behaviour);
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;
    ~RawServer();

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    int connections() const { return connections_.load(); }

    // Waits up to `milliseconds` for the peer to close or the server to stop;
    // true when neither happened.
    bool idle(int connection, int milliseconds) const;

  private:
    void serve();

    Behaviour behaviour_;
    int listener_ = -1;
    int stopEvent_ = -1;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Reads the request head (up to its blank line); the provisioning POST has no body.
void readRequestHead(int connection);
// Writes all of `bytes`; false once the peer is gone.
bool sendAll(int connection, std::string_view bytes);
// Makes the coming close send a reset instead of an orderly end.
void resetOnClose(int connection);

// A response head and body, with a matching Content-Length.
std::string httpReply(int status, const std::string& reason, const std::string& body,
                      const std::string& extraHeaders = "");

// Random texts for the round trips.
class TextGenerator {
  public:
    explicit TextGenerator(std::uint64_t seed) : engine_(seed) {}

    // Any bytes 1..255, biased towards the shell's and XML's special characters.
    std::string anyBytes(std::size_t maxLength);
    // Well-formed UTF-8 mixing ASCII specials with code points of every length.
    std::string utf8(std::size_t maxLength, bool allowControls);
    // A path component: well-formed UTF-8 an XML 1.0 document can carry, no '/'.
    std::string pathComponent(std::size_t maxLength);

    std::mt19937_64& engine() { return engine_; }

  private:
    char32_t codePoint(bool allowControls);
    std::mt19937_64 engine_;
};

void appendUtf8(std::string& text, char32_t codePoint);

// Sets the process's umask for its lifetime.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask);
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;
    ~ScopedUmask();

  private:
    mode_t previous_;
};

} // namespace kestrune::reliability
