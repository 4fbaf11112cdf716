#include "common/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kestrune::testkit {

namespace {

// A listening loopback socket on a kernel-chosen port; the backlog holds the
// connections that nobody accepts.
int listenOnLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer()
{
    server_.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
        ++requests_;
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

void LoopbackHttpServer::start()
{
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("cannot bind the test server");
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it.
    while (!server_.is_running()) {
        std::this_thread::yield();
    }
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    server_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string LoopbackHttpServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

SilentListener::SilentListener()
{
    fd_ = listenOnLoopback(port_);
}

SilentListener::~SilentListener()
{
    ::close(fd_);
}

std::string SilentListener::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int closedLoopbackPort()
{
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

} // namespace kestrune::testkit
