// HTTP GET to the update server over libcurl's easy interface.
#include "app/server/HTTPRequest.h"

#include "app/Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <sys/mman.h>

namespace
{
// Written by SetTimeouts on any thread, read by every GET; atomics, no lock.
std::atomic<long> _connectTimeoutSeconds{HTTPRequest::DEFAULT_CONNECT_TIMEOUT_SECONDS};
std::atomic<long> _stallSeconds{HTTPRequest::DEFAULT_STALL_SECONDS};

std::once_flag _globalInitOnce;

// libcurl's global set-up is not thread-safe; do it once before the first
// handle, whichever thread asks first.
void _curl_global_init()
{
    std::call_once(_globalInitOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What the write callback works on. Touched only by the thread that runs the
// transfer.
struct _Receiver
{
    HTTPResponse* response = nullptr;
    CURL* curl = nullptr;
    size_t limit = 0;
    size_t received = 0;
    bool sized = false;
    bool overLimit = false;
};

// On the first block the headers are in: a body that announces its length
// gets its room at once (or is refused when it announces too much).
bool _size_body(_Receiver& receiver)
{
    receiver.sized = true;
    curl_off_t announced = -1;
    if (curl_easy_getinfo(receiver.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) !=
            CURLE_OK ||
        announced <= 0)
    {
        return true;
    }
    if (static_cast<unsigned long long>(announced) > receiver.limit)
    {
        return false;
    }
    receiver.response->reserve(static_cast<size_t>(announced));
    return true;
}

size_t _rcv_data(char* data, size_t size, size_t count, void* user)
{
    _Receiver* receiver = static_cast<_Receiver*>(user);
    HTTPResponse* response = receiver->response;
    size_t bytes = size * count;
    // Returning less than was offered makes libcurl abandon the transfer.
    if ((!receiver->sized && !_size_body(*receiver)) ||
        bytes > receiver->limit - receiver->received)
    {
        receiver->overLimit = true;
        return 0;
    }
    receiver->received += bytes;
    int shown = static_cast<int>(std::min<size_t>(bytes, 100));
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(user)), shown, data);
    response->process(data, bytes);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
}

CURLcode _set_options(CURL* curl, HTTPResponse* response, _Receiver* receiver, char* errors)
{
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, receiver);
    }
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    }
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_URL, response->get_request());
    }
    // Only the web protocols: a URL naming a local file or another scheme is
    // refused instead of being read as a server reply.
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    }
    // An https server must present a certificate that verifies and matches
    // its host name.
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    }
    if (rc == CURLE_OK)
    {
        // Off is libcurl's default; a TLS backend without OCSP stapling
        // reports it as not built in, which changes nothing.
        rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
        if (rc == CURLE_NOT_BUILT_IN)
        {
            rc = CURLE_OK;
        }
    }
    // A server that accepts the connection and then stays silent must not
    // hang the tool: limit the connection set-up, and give up when the
    // transfer stops moving. No limit is put on the total time, so a large
    // download that keeps arriving completes.
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, _connectTimeoutSeconds.load());
    }
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT,
                              HTTPRequest::STALL_LIMIT_BYTES_PER_SECOND);
    }
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, _stallSeconds.load());
    }
    // The download runs on a worker thread: no signals for name look-ups.
    if (rc == CURLE_OK)
    {
        rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    }
    return rc;
}

} // namespace

HTTPResponse::HTTPResponse(const char* request) : request(request != nullptr ? request : "") {}

void HTTPResponse::reserve(size_t length)
{
    response.reserve(length);
    // A large body is filled once from end to end: asking for large pages
    // saves a page fault for every 4 KiB of it. Only advice; ignored where
    // the system has none to give.
    const size_t large = 2 * 1024 * 1024;
    if (length >= 2 * large)
    {
        const uintptr_t start = reinterpret_cast<uintptr_t>(response.data());
        const uintptr_t first = (start + large - 1) & ~(large - 1);
        const uintptr_t end = (start + length) & ~(large - 1);
        if (end > first)
        {
            (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
        }
    }
}

void HTTPResponse::process(const char* data, unsigned long length)
{
    if (data != nullptr && length != 0)
    {
        response.append(data, length);
    }
}

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& query)
{
    std::string full = url != nullptr ? url : "";
    if (!query.empty())
    {
        full += "?";
        for (const auto& [key, value] : query)
        {
            full += key;
            full += "=";
            full += value;
            full += "&";
        }
    }
    return full;
}

void HTTPRequest::SetTimeouts(long connectSeconds, long stallSeconds)
{
    _connectTimeoutSeconds = connectSeconds > 0 ? connectSeconds : DEFAULT_CONNECT_TIMEOUT_SECONDS;
    _stallSeconds = stallSeconds > 0 ? stallSeconds : DEFAULT_STALL_SECONDS;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query,
                              size_t replyLimit)
{
    _curl_global_init();
    CURL* curl = curl_easy_init();
    HTTPResponse response(BuildURL(url, query).c_str());
    if (curl == nullptr)
    {
        throw std::runtime_error("Could not create curl instance");
    }
    if (url == nullptr)
    {
        curl_easy_cleanup(curl);
        throw std::runtime_error(curl_easy_strerror(CURLE_URL_MALFORMAT));
    }

    _Receiver receiver;
    receiver.response = &response;
    receiver.curl = curl;
    receiver.limit = replyLimit;
    char errors[CURL_ERROR_SIZE] = {0};
    CURLcode rc = _set_options(curl, &response, &receiver, errors);
    if (rc == CURLE_OK)
    {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
        rc = curl_easy_perform(curl);
    }
    long systemError = 0;
    if (rc == CURLE_OK)
    {
        long status = 0;
        rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        response.set_status(status);
    }
    else if (curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &systemError) != CURLE_OK)
    {
        systemError = 0;
    }
    curl_easy_cleanup(curl);
    if (receiver.overLimit)
    {
        std::string text = "the reply is larger than " + std::to_string(replyLimit) +
                           " bytes, the most this request accepts";
        throw HTTPError(text, text);
    }
    if (rc != CURLE_OK)
    {
        std::string detail = errors[0] != '\0' ? errors : curl_easy_strerror(rc);
        // The system's own reason ("Connection refused") tells a refused
        // connection from a host that cannot be reached.
        const char* reason = systemError != 0 ? strerror(static_cast<int>(systemError)) : nullptr;
        if (reason != nullptr && detail.find(reason) == std::string::npos)
        {
            detail += std::string(" (") + reason + ")";
        }
        throw HTTPError(curl_easy_strerror(rc), detail);
    }
    return response;
}
