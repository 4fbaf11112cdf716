// Stands in for the system's libcurl (it is built as libcurl.so.4) where the library
// takes no limit on a transfer's protocols; every other call succeeds and does nothing.
#include <curl/curl.h>

extern "C" {
CURLcode curl_global_init(long) { return CURLE_OK; }
CURL* curl_easy_init() { return reinterpret_cast<CURL*>(&curl_easy_init); }
#pragma GCC diagnostic ignored "-Wdeprecated-declarations" // the older option is the point
CURLcode curl_easy_setopt(CURL*, CURLoption option, ...)
{
    return option == CURLOPT_PROTOCOLS || option == CURLOPT_PROTOCOLS_STR ? CURLE_UNKNOWN_OPTION : CURLE_OK;
}
CURLcode curl_easy_perform(CURL*) { return CURLE_OK; }
CURLcode curl_easy_getinfo(CURL*, CURLINFO, ...) { return CURLE_OK; }
const char* curl_easy_strerror(CURLcode) { return ""; }
void curl_easy_reset(CURL*) {}
void curl_easy_cleanup(CURL*) {}
}
