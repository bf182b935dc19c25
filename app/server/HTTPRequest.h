// HTTP GET to the update server, and the response it brings back.
#pragma once

#include <cstddef>
#include <map>
#include <stdexcept>
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
    // Makes room for a body of `length` bytes in one allocation.
    void reserve(size_t length);
    // Hands the body over without copying it; the response is left empty.
    std::string take_response() { return std::move(response); }

private:
    std::string request;
    long status = 0;
    std::string response;
};

// A transport failure. what() is libcurl's text for the error code (or the
// reply-size text below); detail() says what happened in the user's terms,
// for instance which host refused the connection.
class HTTPError : public std::runtime_error
{
public:
    HTTPError(const std::string& what, std::string detail)
        : std::runtime_error(what), text(std::move(detail))
    {
    }
    const std::string& detail() const { return text; }

private:
    std::string text;
};

class HTTPRequest
{
public:
    // The body a GET accepts unless told otherwise.
    static constexpr size_t DEFAULT_REPLY_LIMIT = 1024 * 1024;

    // Connection set-up may take at most this long.
    static constexpr long DEFAULT_CONNECT_TIMEOUT_SECONDS = 15;
    // A transfer is abandoned when fewer than STALL_LIMIT_BYTES_PER_SECOND
    // arrive on average over this many seconds, that is when the server has
    // stopped sending. A transfer that keeps moving is never cut off.
    static constexpr long DEFAULT_STALL_SECONDS = 30;
    static constexpr long STALL_LIMIT_BYTES_PER_SECOND = 1;

    // Performs one GET of url with the query appended as "?k=v&k=v&" in key
    // order; keys and values are sent exactly as given (already encoded).
    // Throws HTTPError on any transport failure, and when the body would
    // pass `replyLimit` bytes (the transfer is then abandoned at once); an
    // HTTP error status is returned normally.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query,
                            size_t replyLimit = DEFAULT_REPLY_LIMIT);

    // Builds the URL that GET requests.
    static std::string BuildURL(const char* url, const std::map<std::string, std::string>& query);

    // Changes the connection time-out and the stall time for every later
    // request of the process (tests shorten them). Values below 1 restore the
    // defaults.
    static void SetTimeouts(long connectSeconds, long stallSeconds);
};
