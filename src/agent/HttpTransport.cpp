#include "agent/HttpTransport.h"

#include "agent/TransferThreads.h"
#include "support/Platform.h"

#include <curl/curl.h>

#include <dlfcn.h>

#include <memory>
#include <optional>
#include <string>

namespace kestrune {

namespace {

// libcurl is opened on the first transfer rather than linked: linked, it and the two
// dozen libraries it needs load before main() on every start, and the app shows its
// icon some 9 ms later.
struct CurlLibrary {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_strerror) easyStrerror = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_easy_reset) easyReset = nullptr;
};

template <typename Function> bool bind(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// The library, ready for transfers, or the reason it is not there.
struct LoadedCurl {
    std::optional<CurlLibrary> library;
    std::string failure;
};

const LoadedCurl& loadedCurl()
{
    // A function-local static: initialised once, and curl_global_init (which is not
    // thread-safe itself) runs inside it, before any transfer.
    static const LoadedCurl loaded = [] {
        LoadedCurl result;
        void* library = ::dlopen(platform::curlLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* reason = ::dlerror();
            result.failure =
                std::string("Failed to load the HTTP library: ") + (reason ? reason : platform::curlLibraryName);
            return result;
        }
        CurlLibrary curl;
        if (!(bind(library, "curl_global_init", curl.globalInit) && bind(library, "curl_easy_init", curl.easyInit) &&
              bind(library, "curl_easy_setopt", curl.easySetopt) &&
              bind(library, "curl_easy_perform", curl.easyPerform) &&
              bind(library, "curl_easy_getinfo", curl.easyGetinfo) &&
              bind(library, "curl_easy_strerror", curl.easyStrerror) &&
              bind(library, "curl_easy_cleanup", curl.easyCleanup) &&
              bind(library, "curl_easy_reset", curl.easyReset)) ||
            curl.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            result.failure = "Failed to start the HTTP library";
            return result;
        }
        result.library = curl;
        return result;
    }();
    return loaded;
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

// Only HTTP and HTTPS, whatever the URL names. The text form exists from libcurl
// 7.85; macOS 11 and 12 ship 7.64 and 7.79, whose headers lack it and whose library
// refuses it, so the bit mask that they know stands in for it. False when the library
// takes neither: the transfer must not go on unrestricted.
bool restrictToHttp(const CurlLibrary& library, CURL* handle)
{
#if LIBCURL_VERSION_NUM >= 0x075500
    if (library.easySetopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK) {
        return true;
    }
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations" // newer headers mark the mask deprecated
    return library.easySetopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)) ==
           CURLE_OK;
#pragma GCC diagnostic pop
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

HttpOutcome perform(const HttpRequest& request)
{
    const LoadedCurl& loaded = loadedCurl();
    if (!loaded.library) {
        return {std::nullopt, std::make_exception_ptr(NetworkError(loaded.failure))};
    }
    const CurlLibrary& library = *loaded.library;
    // One handle per thread, reused: a fresh one costs an allocation round and a
    // wake-up socket pair on every five-second probe. Its options (which point into
    // this frame) are cleared when the transfer ends, however it ends.
    thread_local CurlHandle curl(nullptr, library.easyCleanup);
    if (!curl) {
        curl.reset(library.easyInit());
    }
    if (!curl) {
        return {std::nullopt, std::make_exception_ptr(NetworkError("Failed to start an HTTP request"))};
    }
    const std::unique_ptr<CURL, decltype(library.easyReset)> clearedAtEnd(curl.get(), library.easyReset);
    Transfer transfer;
    transfer.maxBodyBytes = request.maxBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    library.easySetopt(handle, CURLOPT_URL, request.url.c_str());
    library.easySetopt(handle, CURLOPT_NOSIGNAL, 1L); // we run on our own threads
    library.easySetopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    library.easySetopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // A connection left open in the thread's handle would hold a descriptor for as
    // long as the thread lives; requests are seconds apart, so none is kept.
    library.easySetopt(handle, CURLOPT_FORBID_REUSE, 1L);
    if (!restrictToHttp(library, handle)) {
        return {std::nullopt, std::make_exception_ptr(
                                  NetworkError("The system's HTTP library cannot limit requests to HTTP and HTTPS"))};
    }
    library.easySetopt(handle, CURLOPT_WRITEFUNCTION, &collectBody);
    library.easySetopt(handle, CURLOPT_WRITEDATA, &transfer);
    library.easySetopt(handle, CURLOPT_ERRORBUFFER, errorText);
    if (request.bypassProxy) {
        library.easySetopt(handle, CURLOPT_NOPROXY, "*");
    }
    // libcurl gives an empty POST a form content type of its own; the request carries
    // no header field we did not choose. A list of one fixed node needs no allocation.
    char withoutContentType[] = "Content-Type:";
    curl_slist noContentType{withoutContentType, nullptr};
    if (request.method == HttpRequest::Method::post) {
        library.easySetopt(handle, CURLOPT_POST, 1L);
        library.easySetopt(handle, CURLOPT_POSTFIELDS, "");
        library.easySetopt(handle, CURLOPT_POSTFIELDSIZE, 0L);
        library.easySetopt(handle, CURLOPT_HTTPHEADER, &noContentType);
    }

    const CURLcode result = library.easyPerform(handle);
    if (transfer.bodyTooLarge) {
        // The status came before the body, so the caller can still judge it first.
        HttpReply reply;
        library.easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
        return {std::move(reply), nullptr, true};
    }
    if (result != CURLE_OK) {
        const std::string message = errorText[0] != '\0' ? errorText : library.easyStrerror(result);
        return {std::nullopt, std::make_exception_ptr(NetworkError(message))};
    }
    HttpReply reply;
    library.easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = std::move(transfer.body);
    return {std::move(reply), nullptr};
}

} // namespace

HttpOutcome performHttpRequest(const HttpRequest& request) noexcept
{
    try {
        return perform(request);
    } catch (...) {
        // Running out of memory, say: this transfer's failure, reported like any other.
        return {std::nullopt, std::current_exception()};
    }
}

void startHttpRequest(HttpRequest request, std::function<void(HttpOutcome)> completion)
{
    (void)loadedCurl(); // on the caller's thread, so no caller's wait includes the loading
    runOnTransferThread([request = std::move(request), completion = std::move(completion)] {
        completion(performHttpRequest(request));
    });
}

} // namespace kestrune
