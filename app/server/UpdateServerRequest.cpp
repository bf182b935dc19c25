// The update server's questions over HTTP GET on "/cgi/u".
#include "app/server/UpdateServerRequest.h"

#include "app/Log.h"
#include "app/server/HTTPRequest.h"
#include <lumbrixon/kxVersion.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace
{
using Query = std::map<std::string, std::string>;

const char* const _defaultURL = "http://update.kavrel.com/cgi/u";

// Each thread's own: the download runs on a worker thread.
thread_local std::string _lastError;

const char* _base(const char* url)
{
    return (url == nullptr || *url == '\0') ? _defaultURL : url;
}

std::string _serial(unsigned int serialNumber)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

// The body's lines, split at line feeds; empty lines are dropped.
std::vector<std::string> _lines(const char* body, size_t length)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < length)
    {
        size_t end = start;
        while (end < length && body[end] != '\n')
        {
            ++end;
        }
        if (end > start)
        {
            lines.emplace_back(body + start, end - start);
        }
        start = end + 1;
    }
    return lines;
}

// The text up to the first carriage return or line feed.
std::string _untilEOL(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

// Sends one request and checks the status and the "ok" first line. On
// success `body` holds the whole reply.
bool _fetch(const char* label, const char* url, Query& query, size_t limit, std::string& body)
{
    _lastError.clear();
    try
    {
        HTTPResponse response = HTTPRequest::GET(_base(url), query, limit);
        if (response.get_status() != 200)
        {
            if (std::string(label) == "ping")
            {
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%.200s]\n",
                         static_cast<int>(response.get_status()), response.get_response());
            }
            else
            {
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%.200s]\n", label,
                         static_cast<int>(response.get_status()), response.get_response());
            }
            _lastError = "the server answered HTTP status " + std::to_string(response.get_status());
            return false;
        }
        body = response.take_response();
        // Empty lines before the first are skipped; an empty body carries no
        // "ok" line and fails like any other reply without one.
        size_t first = body.find_first_not_of('\n');
        if (first == std::string::npos || body.compare(first, 2, "ok") != 0)
        {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", label,
                     response.get_request());
            _lastError = "the server's reply does not begin with \"ok\"";
            return false;
        }
        return true;
    }
    catch (const HTTPError& error)
    {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", label, error.what());
        _lastError = error.detail();
        return false;
    }
    catch (const std::exception& error)
    {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", label, error.what());
        _lastError = error.what();
        return false;
    }
}

// _fetch, with the reply split into its lines, the "ok" line first.
bool _request(const char* label, const char* url, Query& query, std::vector<std::string>& lines,
              size_t limit = UpdateServerRequest::SHORT_REPLY_LIMIT)
{
    std::string body;
    if (!_fetch(label, url, query, limit, body))
    {
        return false;
    }
    lines = _lines(body.data(), body.size());
    return true;
}

// Reads a whole text as an unsigned 32-bit number in the given base (16, or
// 0 for decimal with an optional 0x prefix selecting hexadecimal); a trailing
// carriage return is tolerated.
bool _number(const std::string& line, int base, unsigned int& value)
{
    std::string text = _untilEOL(line);
    if (base == 0)
    {
        base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        {
            text = text.substr(2);
            base = 16;
        }
    }
    if (text.empty() || !isxdigit(static_cast<unsigned char>(text[0])))
    {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull)
    {
        return false;
    }
    value = static_cast<unsigned int>(parsed);
    return true;
}

// The three components of a version, or false (logged) when it is not three
// numbers in the signed 32-bit range.
bool _triple(const std::string& version, int out[3])
{
    std::vector<std::string> pieces = UpdateServerRequest::SplitLumbrixonVersion(version);
    try
    {
        if (pieces.size() != 3)
        {
            throw std::invalid_argument("stoi");
        }
        for (int i = 0; i < 3; ++i)
        {
            out[i] = std::stoi(pieces[i]);
        }
        return true;
    }
    catch (const std::exception& error)
    {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 error.what());
        return false;
    }
}

bool _newer(const int a[3], const int b[3])
{
    return !kxVersion_IsAtLeastCompare(static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                                       static_cast<uint8_t>(b[2]), static_cast<uint8_t>(a[0]),
                                       static_cast<uint8_t>(a[1]), static_cast<uint8_t>(a[2]));
}

} // namespace

const char* UpdateServerRequest::DefaultURL()
{
    return _defaultURL;
}

std::string UpdateServerRequest::LastError()
{
    return _lastError;
}

bool UpdateServerRequest::ping(const char* url)
{
    Query query{{"op", "hi"}, {"rv", "2"}};
    std::vector<std::string> lines;
    return _request("ping", url, query, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned int serialNumber, std::string& build,
                                     std::string& firmware, const char* url)
{
    Query query{{"op", "qu"}, {"sn", _serial(serialNumber)}};
    std::vector<std::string> lines;
    if (!_request("QueryBuild", url, query, lines))
    {
        return false;
    }
    if (lines.size() > 1)
    {
        build = lines[1];
    }
    if (lines.size() > 2)
    {
        firmware = _untilEOL(lines[2]);
    }
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serialNumber, const char* firmware,
                                   const char* build, std::string& birdData, const char* url,
                                   bool noCal)
{
    birdData.clear();
    Query query{{"bld", build != nullptr ? build : ""},
                {"fw", firmware != nullptr ? firmware : ""},
                {"no_cal", noCal ? "true" : "false"},
                {"op", "bird"},
                {"sn", _serial(serialNumber)}};
    // The base64 line is the bulk of the reply: it is cut out of the body in
    // place and handed over, never copied.
    std::string body;
    if (!_fetch("GetBuild", url, query, FIRMWARE_REPLY_LIMIT, body))
    {
        return false;
    }
    size_t okEnd = body.find('\n', body.find_first_not_of('\n'));
    size_t start =
        okEnd == std::string::npos ? std::string::npos : body.find_first_not_of('\n', okEnd);
    if (start == std::string::npos)
    {
        return true;
    }
    size_t end = body.find('\n', start);
    if (end != std::string::npos)
    {
        body.resize(end);
    }
    body.erase(0, start);
    birdData = std::move(body);
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serialNumber,
                                       std::map<std::string, std::string>& builds, const char* url)
{
    builds.clear();
    Query query{{"op", "builds"}, {"sn", _serial(serialNumber)}};
    std::vector<std::string> lines;
    if (!_request("GetBuildList", url, query, lines, BUILD_LIST_REPLY_LIMIT))
    {
        return false;
    }
    for (size_t i = 1; i < lines.size(); ++i)
    {
        const std::string& line = lines[i];
        if (line.size() <= 2)
        {
            continue;
        }
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        size_t cut = line.find_first_of(";\r\n");
        std::string build = line.substr(0, cut);
        std::string version;
        if (cut != std::string::npos && line[cut] == ';')
        {
            version = line.substr(cut + 1);
            version = version.substr(0, version.find_first_of(";\r\n"));
        }
        if (build.empty())
        {
            continue;
        }
        builds.emplace(build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
                 version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned int* fingerprint,
                                          unsigned int* serialNumber, unsigned int* build,
                                          const char* url)
{
    if (fingerprint == nullptr)
    {
        return false;
    }
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    Query query{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    std::vector<std::string> lines;
    if (!_request("GetRecoveryInfo", url, query, lines))
    {
        return false;
    }
    // A line that is present but holds no number is no answer: refuse it
    // rather than hand back a serial number or build the server never gave.
    unsigned int serial = 0;
    unsigned int number = 0;
    if ((lines.size() > 1 && !_number(lines[1], 16, serial)) ||
        (lines.size() > 2 && !_number(lines[2], 0, number)))
    {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [unreadable reply]\n",
                 "GetRecoveryInfo");
        return false;
    }
    if (lines.size() > 1 && serialNumber != nullptr)
    {
        *serialNumber = serial;
    }
    if (lines.size() > 2 && build != nullptr)
    {
        *build = number;
    }
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serialNumber, std::string& jwt, const char* url)
{
    Query query{{"json", "false"}, {"op", "ent_jwt"}, {"sn", _serial(serialNumber)}};
    std::vector<std::string> lines;
    if (!_request("GetDeviceJWT", url, query, lines))
    {
        return false;
    }
    if (lines.size() < 2 || lines[1].size() < 3)
    {
        _lastError = "the server sent no token";
        return false;
    }
    const std::string& line = _untilEOL(lines[1]);
    // A token is printable text; anything else (a zero byte, a control
    // character) would be cut or garbled on the way to the user.
    for (char c : line)
    {
        if (!isgraph(static_cast<unsigned char>(c)))
        {
            Log::log(DEBUG_ServerComm, "%s: the token holds a byte 0x%02X\n", "GetDeviceJWT",
                     static_cast<unsigned char>(c));
            _lastError = "the server's token is not printable text";
            return false;
        }
    }
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
    size_t first = line.find('.');
    size_t second = first == std::string::npos ? first : line.find('.', first + 1);
    if (second == std::string::npos)
    {
        _lastError = "the server's token is not header.payload.signature";
        return false;
    }
    std::string header = line.substr(0, first);
    std::string payload = line.substr(first + 1, second - first - 1);
    std::string signature = _untilEOL(line.substr(second + 1));
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
    {
        _lastError = "the server's token is not header.payload.signature";
        return false;
    }
    jwt = header + "." + payload + "." + signature;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitLumbrixonVersion(std::string version)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;)
    {
        size_t dot = version.find('.', start);
        pieces.push_back(version.substr(start, dot - start));
        if (dot == std::string::npos)
        {
            break;
        }
        start = dot + 1;
    }
    if (pieces.size() != 3)
    {
        pieces.clear();
    }
    return pieces;
}

bool UpdateServerRequest::_sortVersion(const std::pair<std::string, std::string>& a,
                                       const std::pair<std::string, std::string>& b)
{
    if (SplitLumbrixonVersion(a.second).empty() && SplitLumbrixonVersion(b.second).empty())
    {
        return false;
    }
    int va[3];
    int vb[3];
    if (!_triple(a.second, va) || !_triple(b.second, vb))
    {
        return false;
    }
    return _newer(va, vb);
}

std::vector<std::pair<std::string, std::string>>
UpdateServerRequest::SortBuildsByVersion(const std::map<std::string, std::string>& builds)
{
    // Each version is read once. Entries that are not three numbers compare
    // equal to everything, which is no order a sort can use: they are kept
    // apart and appended, in the map's order, after the sorted valid ones.
    struct Entry
    {
        std::pair<std::string, std::string> build;
        int version[3];
    };
    std::vector<Entry> valid;
    std::vector<std::pair<std::string, std::string>> invalid;
    for (const auto& build : builds)
    {
        Entry entry{build, {0, 0, 0}};
        if (_triple(build.second, entry.version))
        {
            valid.push_back(entry);
        }
        else
        {
            invalid.push_back(build);
        }
    }
    std::stable_sort(valid.begin(), valid.end(),
                     [](const Entry& a, const Entry& b) { return _newer(a.version, b.version); });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(builds.size());
    for (const Entry& entry : valid)
    {
        sorted.push_back(entry.build);
    }
    sorted.insert(sorted.end(), invalid.begin(), invalid.end());
    return sorted;
}
