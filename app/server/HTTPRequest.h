// HTTP GET to the update server, and the response it brings back.
#pragma once

#include <map>
#include <string>

class HTTPResponse
{
public:
    explicit HTTPResponse(const char* request);

    long get_status() const { return status; }
    const char* get_response() const { return response.c_str(); }
    const char* get_request() const { return request.c_str(); }
    // Number of body bytes received (the body may hold zero bytes).
    size_t get_length() const { return response.size(); }

    void set_status(long value) { status = value; }
    // Appends length bytes to the body.
    void process(const char* data, unsigned long length);

private:
    std::string request;
    long status = 0;
    std::string response;
};

class HTTPRequest
{
public:
    // Connection set-up may take at most this long.
    static constexpr long DEFAULT_CONNECT_TIMEOUT_SECONDS = 15;
    // A transfer is abandoned when fewer than STALL_LIMIT_BYTES_PER_SECOND
    // arrive on average over this many seconds, that is when the server has
    // stopped sending. A transfer that keeps moving is never cut off.
    static constexpr long DEFAULT_STALL_SECONDS = 30;
    static constexpr long STALL_LIMIT_BYTES_PER_SECOND = 1;

    // Performs one GET of url with the query appended as "?k=v&k=v&" in key
    // order; keys and values are sent exactly as given (already encoded).
    // Throws std::runtime_error on any transport failure; an HTTP error
    // status is returned normally.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query);

    // Builds the URL that GET requests.
    static std::string BuildURL(const char* url, const std::map<std::string, std::string>& query);

    // Changes the connection time-out and the stall time for every later
    // request of the process (tests shorten them). Values below 1 restore the
    // defaults.
    static void SetTimeouts(long connectSeconds, long stallSeconds);
};
