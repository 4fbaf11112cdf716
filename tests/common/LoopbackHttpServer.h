#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace kestrune::testkit {

// What the server sends for one request: raw bytes, shaped in time.
struct CannedReply {
    std::string bytes;                         // head and body, exactly as sent
    std::chrono::milliseconds delay{0};        // silence before the first byte
    std::chrono::milliseconds byteInterval{0}; // above 0: one byte at a time, this far apart
};

// A whole reply with a matching Content-Length.
CannedReply httpReply(int status, const std::string& body, const std::string& extraHeaders = "");

// An HTTP server on 127.0.0.1 and a free port that reads each request's head and
// answers with canned bytes, one connection at a time on its own thread; until told
// otherwise it accepts and never answers. Its waits end early when the peer hangs up
// or the server is destroyed.
class LoopbackHttpServer {
  public:
    LoopbackHttpServer();
    ~LoopbackHttpServer();

    void answer(CannedReply reply); // to every request from now on

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int requestCount() const { return requests_; }
    std::string lastRequest() const; // its head

  private:
    int port_ = 0;
    const int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mutable std::mutex mutex_;
    CannedReply reply_{"", std::chrono::hours(1)};
    std::string lastRequest_;
    std::atomic<int> requests_{0};
    std::jthread thread_;
};

// The URL of a loopback port on which nothing listens.
std::string closedLoopbackURL();

} // namespace kestrune::testkit
