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

bool sendAll(int connection, std::string_view bytes)
{
    for (ssize_t sent = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(sent))) {
        if ((sent = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) {
            return false;
        }
    }
    return true;
}

// The head and as much body as its Content-Length announces.
std::string readRequest(int connection)
{
    std::string request;
    char buffer[4096];
    for (std::size_t wanted = std::string::npos, end = 0; request.size() < wanted;) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        request.append(buffer, static_cast<std::size_t>(got));
        if (wanted == std::string::npos && (end = request.find("\r\n\r\n")) != std::string::npos) {
            const auto length = request.find("Content-Length: ");
            wanted = end + 4 + (length < end ? std::stoul(request.substr(length + 16)) : 0);
        }
    }
    return request;
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
    for (pollfd watched[2]{{listener_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
         ::poll(watched, 2, -1) >= 0 && watched[1].revents == 0;) {
        if (const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); connection >= 0) {
            handle(connection);
            ::close(connection);
        }
    }
}

void LoopbackHttpServer::handle(int connection)
{
    CannedReply reply;
    {
        std::string request = readRequest(connection);
        std::lock_guard guard(mutex_);
        lastRequest_ = std::move(request);
        reply = responder_();
    }
    ++requests_;
    const std::size_t step = reply.byteInterval.count() > 0 ? 1 : reply.bytes.size() + 1;
    bool open = quiet(connection, reply.delay);
    for (std::size_t at = 0; open && at < reply.bytes.size(); at += step) {
        open = sendAll(connection, reply.bytes.substr(at, step)) && quiet(connection, reply.byteInterval);
    }
    const int small = 64 * 1024; // so that what was sent is close to what the peer read
    ::setsockopt(connection, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    for (const std::string chunk(small, 'x'); open && reply.endlessBody && sendAll(connection, chunk);) {
        endlessSent_ += small;
    }
}

// Waits `wait`; false when the peer hung up or the server is going meanwhile.
bool LoopbackHttpServer::quiet(int connection, std::chrono::milliseconds wait) const
{
    pollfd watched[2]{{connection, POLLRDHUP, 0}, {stopEvent_, POLLIN, 0}};
    return wait.count() == 0 || ::poll(watched, 2, static_cast<int>(wait.count())) == 0;
}

int closedLoopbackPort()
{
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

} // namespace kestrune::testkit
