// The update server's questions: presence, current build, one build's BIRD
// file, the build list, recovery information for a chip fingerprint and the
// device's feature token. Every reply is accepted only with HTTP status 200
// and a first line beginning with "ok".
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest
{
public:
    // The most each kind of reply may hold. The short answers are a few
    // lines; a build list is one line per build; a BIRD file's base64 text
    // is far below the firmware limit for any real image.
    static constexpr size_t SHORT_REPLY_LIMIT = 64 * 1024;
    static constexpr size_t BUILD_LIST_REPLY_LIMIT = 4 * 1024 * 1024;
    static constexpr size_t FIRMWARE_REPLY_LIMIT = 256 * 1024 * 1024;

    // Why the last request made on this thread failed, in a few words
    // ("Failed to connect to ... Connection refused", "the server answered
    // HTTP status 500", ...); empty after a request that succeeded.
    static std::string LastError();

    // The base URL used when a request is given none (null or empty).
    static const char* DefaultURL();

    static bool ping(const char* url = nullptr);
    // build <- line 2, firmware <- line 3; a missing line leaves its string
    // unchanged.
    static bool QueryBuild(unsigned int serialNumber, std::string& build, std::string& firmware,
                           const char* url = nullptr);
    // birdData is cleared, then set to line 2 (base64 text of the BIRD file).
    static bool GetBuild(unsigned int serialNumber, const char* firmware, const char* build,
                         std::string& birdData, const char* url = nullptr, bool noCal = false);
    // builds is cleared, then filled build -> version; the first line for a
    // build wins.
    static bool GetBuildList(unsigned int serialNumber, std::map<std::string, std::string>& builds,
                             const char* url = nullptr);
    // fingerprint points at 4 words; serialNumber <- line 2 (hexadecimal),
    // build <- line 3 (decimal, or hexadecimal after 0x).
    static bool GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serialNumber,
                                unsigned int* build, const char* url = nullptr);
    static bool GetDeviceJWT(unsigned int serialNumber, std::string& jwt,
                             const char* url = nullptr);

    // (build, version) pairs, newest version first. Entries whose version is
    // not three numbers follow all others, in the map's order.
    static std::vector<std::pair<std::string, std::string>>
    SortBuildsByVersion(const std::map<std::string, std::string>& builds);
    // The three pieces of "major.minor.patch", or an empty list.
    static std::vector<std::string> SplitLumbrixonVersion(std::string version);
    // True when a's version is strictly newer than b's (components compared
    // as unsigned 8-bit values); false when either version is not three
    // numbers.
    static bool _sortVersion(const std::pair<std::string, std::string>& a,
                             const std::pair<std::string, std::string>& b);
};
