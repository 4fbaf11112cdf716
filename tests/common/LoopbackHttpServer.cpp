#include "common/LoopbackHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace kestrune::testkit {

namespace {

int listenOnLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool sendAll(int connection, const std::string& bytes)
{
    return ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

} // namespace

CannedReply httpReply(int status, const std::string& body, const std::string& extraHeaders)
{
    return {"HTTP/1.1 " + std::to_string(status) + " Canned\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body};
}

LoopbackHttpServer::LoopbackHttpServer()
    : listener_(listenOnLoopback(port_)), stopEvent_(::eventfd(0, EFD_CLOEXEC)),
      responder_([] { return httpReply(200, ""); })
{
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    const std::uint64_t one = 1;
    stopping_ = true;
    (void)!::write(stopEvent_, &one, sizeof one);
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(listener_);
    ::close(stopEvent_);
}

void LoopbackHttpServer::answer(std::function<CannedReply()> responder)
{
    std::lock_guard guard(mutex_);
    responder_ = std::move(responder);
}

std::string LoopbackHttpServer::lastRequest() const
{
    std::lock_guard guard(mutex_);
    return lastRequest_;
}

void LoopbackHttpServer::serve()
{
    for (int connection; !quiet(listener_, std::chrono::milliseconds(-1)) && !stopping_; ::close(connection)) {
        connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string request;
        char buffer[4096];
        for (ssize_t got; request.find("\r\n\r\n") == std::string::npos &&
                          (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
            request.append(buffer, static_cast<std::size_t>(got));
        }
        std::unique_lock guard(mutex_);
        lastRequest_ = request;
        const CannedReply reply = responder_();
        guard.unlock();
        ++requests_;
        const std::size_t step = reply.byteInterval.count() > 0 ? 1 : reply.bytes.size() + 1;
        bool open = quiet(connection, reply.delay);
        for (std::size_t at = 0; open && at < reply.bytes.size(); at += step) {
            open = sendAll(connection, reply.bytes.substr(at, step)) && quiet(connection, reply.byteInterval);
        }
        while (open && reply.endlessBody && sendAll(connection, std::string(1 << 16, 'x'))) {
        }
    }
}

// Waits up to `wait` (below 0: for ever) on `fd`; false when it became readable or
// hung up, or the server is going.
bool LoopbackHttpServer::quiet(int fd, std::chrono::milliseconds wait) const
{
    pollfd watched[2]{{fd, POLLIN | POLLRDHUP, 0}, {stopEvent_, POLLIN, 0}};
    return wait.count() == 0 || ::poll(watched, 2, static_cast<int>(wait.count())) == 0;
}

int closedLoopbackPort()
{
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

} // namespace kestrune::testkit
