#include "common/LoopbackHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrune::testkit {

CannedReply httpReply(int status, const std::string& body, const std::string& extraHeaders)
{
    return {"HTTP/1.1 " + std::to_string(status) + " Canned\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body};
}

LoopbackHttpServer::LoopbackHttpServer()
{
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 64);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    // Waits up to `wait` on `fd`; false when it became readable or hung up, or the server is going.
    const auto quiet = [this](int fd, std::chrono::milliseconds wait) {
        pollfd watched[2]{{fd, POLLIN | POLLRDHUP, 0}, {listener_, 0, 0}};
        return wait.count() == 0 || ::poll(watched, 2, static_cast<int>(wait.count())) == 0;
    };
    thread_ = std::jthread([this, quiet] {
        for (int connection; (connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;
             ::close(connection)) {
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
            const std::size_t step = reply.byteInterval.count() > 0 ? 1 : reply.bytes.size() + 1;
            bool open = quiet(connection, reply.delay);
            for (std::size_t at = 0; open && at < reply.bytes.size(); at += step) {
                const std::string part = reply.bytes.substr(at, step);
                open = ::send(connection, part.data(), part.size(), MSG_NOSIGNAL) > 0 &&
                       quiet(connection, reply.byteInterval);
            }
        }
    });
}

// Shutting the listener down ends a blocked accept and, as it hangs up, every other wait.
LoopbackHttpServer::~LoopbackHttpServer()
{
    ::shutdown(listener_, SHUT_RDWR);
    thread_ = {}; // joins the server's thread before its listener goes
    ::close(listener_);
}

void LoopbackHttpServer::answer(CannedReply reply)
{
    std::lock_guard guard(mutex_);
    reply_ = std::move(reply);
}

std::string LoopbackHttpServer::lastRequest() const
{
    std::lock_guard guard(mutex_);
    return lastRequest_;
}

// Its port is closed again as it returns.
std::string closedLoopbackURL()
{
    return LoopbackHttpServer().url("");
}

} // namespace kestrune::testkit
