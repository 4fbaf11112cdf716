#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace kestrune::testkit {

// What the server sends for one request: raw bytes, head and body, exactly as sent;
// with a pace, one byte at a time, each after that much silence.
struct CannedReply {
    std::string bytes;
    std::chrono::milliseconds pace{0};
};

// A whole reply with a matching Content-Length.
inline CannedReply httpReply(int status, const std::string& body, const std::string& extraHeaders = "")
{
    return {"HTTP/1.1 " + std::to_string(status) + " Canned\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body};
}

// An HTTP server on 127.0.0.1 and a free port that reads each request's head and
// answers with canned bytes, one connection at a time on its own thread; until told
// otherwise it accepts and never answers. Its waits end early when the peer hangs up
// or the server is destroyed.
class LoopbackHttpServer {
  public:
    LoopbackHttpServer()
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 64);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::jthread([this] {
            for (int connection; (connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;
                 ::close(connection)) {
                serve(connection);
            }
        });
    }
    // Shutting the listener down ends a blocked accept and, as it hangs up, every other wait.
    ~LoopbackHttpServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        thread_ = {}; // joins the server's thread before its listener goes
        ::close(listener_);
    }

    void answer(CannedReply reply) // to every request from now on
    {
        std::lock_guard guard(mutex_);
        reply_ = std::move(reply);
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int requestCount() const { return requests_; }
    std::string lastRequest() const // its head
    {
        std::lock_guard guard(mutex_);
        return lastRequest_;
    }

  private:
    void serve(int connection)
    {
        std::string request;
        char buffer[4096];
        for (ssize_t got; request.find("\r\n\r\n") == std::string::npos &&
                          (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
            request.append(buffer, static_cast<std::size_t>(got));
        }
        std::unique_lock guard(mutex_);
        lastRequest_ = request;
        const CannedReply reply = reply_;
        guard.unlock();
        ++requests_;
        const std::size_t step = reply.pace.count() > 0 ? 1 : reply.bytes.size();
        for (std::size_t at = 0; at < reply.bytes.size() && quiet(connection, reply.pace); at += step) {
            ::send(connection, &reply.bytes[at], step, MSG_NOSIGNAL); // a peer that left ends the wait
        }
    }
    // Waits up to `wait` on `fd`; false when it became readable or hung up, or the server is going.
    bool quiet(int fd, std::chrono::milliseconds wait) const
    {
        pollfd watched[2]{{fd, POLLIN | POLLRDHUP, 0}, {listener_, 0, 0}};
        return wait.count() == 0 || ::poll(watched, 2, static_cast<int>(wait.count())) == 0;
    }

    int port_ = 0;
    const int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mutable std::mutex mutex_;
    CannedReply reply_{" ", std::chrono::hours(1)};
    std::string lastRequest_;
    std::atomic<int> requests_{0};
    std::jthread thread_;
};

// The URL of a loopback port on which nothing listens: its port is closed again as it returns.
inline std::string closedLoopbackURL()
{
    return LoopbackHttpServer().url("");
}

} // namespace kestrune::testkit
