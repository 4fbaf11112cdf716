#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace kestrune {

// A transport failure (refused, reset, timed out, TLS, ...) with the HTTP stack's
// own message, passed on beside KestruneError.
class NetworkError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct HttpRequest {
    enum class Method { get, post };
    Method method = Method::get;
    std::string url;
    std::chrono::milliseconds timeout{60000};
    bool bypassProxy = false;
    // A larger body ends the transfer early and sets HttpOutcome::bodyTooLarge;
    // 0 ends it as soon as the status is known.
    std::size_t maxBodyBytes = 1 << 20;
};

struct HttpReply {
    long status = 0;
    std::string body;
};

// Either a reply, or the error that ended the transfer. A body over the limit ends
// the transfer early: the reply then holds the status alone and bodyTooLarge is set.
struct HttpOutcome {
    std::optional<HttpReply> reply;
    std::exception_ptr error;
    bool bodyTooLarge = false;
};

// Runs `request` on the calling thread to its end, which its timeout bounds. Never
// throws: a failure is the outcome's error.
HttpOutcome performHttpRequest(const HttpRequest& request) noexcept;

// Starts `request` on a thread of its own and returns at once. `completion` runs
// exactly once, on that thread, when the transfer ends; it must own whatever it
// touches, since the caller may have stopped waiting. Redirects are never followed;
// a POST sends an empty body and no header field of its own.
void startHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> completion);

} // namespace kestrune
