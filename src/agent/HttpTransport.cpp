#include "agent/HttpTransport.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <thread>

namespace kestrune {

namespace {

void initialiseCurlOnce()
{
    // curl_global_init is not thread-safe itself: run it once, before any transfer.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    std::string body;
    std::size_t maxBodyBytes = 0;
    bool bodyTooLarge = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* context)
{
    auto* transfer = static_cast<Transfer*>(context);
    const std::size_t length = size * count;
    if (transfer->body.size() + length > transfer->maxBodyBytes) {
        transfer->bodyTooLarge = true;
        return 0; // makes curl end the transfer with a write error
    }
    transfer->body.append(data, length);
    return length;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

HttpOutcome perform(const HttpRequest& request)
{
    CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        return {std::nullopt, std::make_exception_ptr(NetworkError("Failed to start an HTTP request"))};
    }
    Transfer transfer;
    transfer.maxBodyBytes = request.maxBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L); // we run on our own threads
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    if (request.bypassProxy) {
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    }
    if (request.method == HttpRequest::Method::post) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, 0L);
    }

    const CURLcode result = curl_easy_perform(handle);
    if (transfer.bodyTooLarge) {
        return {std::nullopt, nullptr, true};
    }
    if (result != CURLE_OK) {
        const std::string message = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        return {std::nullopt, std::make_exception_ptr(NetworkError(message))};
    }
    HttpReply reply;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = std::move(transfer.body);
    return {std::move(reply), nullptr};
}

} // namespace

void startHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> completion)
{
    initialiseCurlOnce();
    std::thread([request = std::move(request), completion = std::move(completion)] {
        completion(perform(request));
    }).detach();
}

} // namespace kestrune
