#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace kestrune::testkit {

// An HTTP server on 127.0.0.1 and a free port, serving on its own thread until
// destroyed. Handlers are installed through server() before start().
class LoopbackHttpServer {
  public:
    LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
    ~LoopbackHttpServer();

    httplib::Server& server() { return server_; }
    void start();
    int port() const { return port_; }
    std::string url(const std::string& path) const;
    int requestCount() const { return requests_.load(); }

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_{0};
};

// A TCP listener that accepts connections and never answers a byte.
class SilentListener {
  public:
    SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    ~SilentListener();

    int port() const { return port_; }
    std::string url(const std::string& path) const;

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port on which nothing listens (bound, then closed).
int closedLoopbackPort();

} // namespace kestrune::testkit
