// update-server: a small local update server for labs and tests. It answers
// GET /cgi/u with the operations hi, qu, bird, builds, fix and ent_jwt from a
// firmware directory (see Catalog.h), and can be told to misbehave.
#include "app/server/base64.h"
#include "Catalog.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <thread>

namespace
{
const char* const _usage =
    "Usage: update-server [options] PORT DIRECTORY\n"
    "\n"
    "Serves GET /cgi/u from the firmware DIRECTORY on PORT (0: any free port;\n"
    "the port in use is printed on the first line of standard output).\n"
    "\n"
    "DIRECTORY layout:\n"
    "  <SERIAL>/<build>.bird        builds for one device (8 hex digits)\n"
    "  <SERIAL>/unlisted/<build>.bird  served on request, but not listed\n"
    "  models/<MODEL>/<build>.bird  builds for every device of that model\n"
    "  devices                      lines \"SERIAL MODEL [FEATURE...]\"\n"
    "  fingerprints                 lines \"W0 W1 W2 W3 SERIAL BUILD\"\n"
    "\n"
    "Operations (query key op): hi, qu, bird, builds, fix, ent_jwt.\n"
    "\n"
    "Options:\n"
    "  --bind ADDRESS      address to listen on [127.0.0.1]\n"
    "  --log FILE          append every request target to FILE\n"
    "  --jwt-key KEY       key that signs the tokens [lumbrixon-lab]\n"
    "  --help              this text\n"
    "Faults (OP is an operation name; each option may be repeated):\n"
    "  --status OP=CODE    answer OP with HTTP status CODE\n"
    "  --no-ok OP          answer OP with 200 and the first line \"error\"\n"
    "  --empty OP          answer OP with the line \"ok\" alone\n"
    "  --truncate OP       cut the answer of OP in half (base64 stays a multiple of 4)\n"
    "  --bad-base64 OP     answer bird with text outside the base64 alphabet\n"
    "  --stall OP=MS       accept OP, then send nothing for MS milliseconds\n"
    "  --drip OP=MS        send the answer of OP in 20 pieces spread over MS ms\n";

struct Faults
{
    std::map<std::string, int> status;
    std::set<std::string> noOk;
    std::set<std::string> empty;
    std::set<std::string> truncate;
    std::set<std::string> badBase64;
    std::map<std::string, int> stall;
    std::map<std::string, int> drip;
};

// Touched by the signal thread (writes) and the handler threads (reads).
std::atomic<bool> _stopping{false};

// Sleeps in short slices so that a stop request ends the wait.
void _pause(int milliseconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!_stopping && std::chrono::steady_clock::now() < end)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string _base64url(const std::string& data)
{
    unsigned long length = 0;
    char* text = base64_encode(data.data(), data.size(), &length);
    std::string out = text != nullptr ? std::string(text, length) : std::string();
    free(text);
    for (char& c : out)
    {
        c = c == '+' ? '-' : (c == '/' ? '_' : c);
    }
    return out.substr(0, out.find('='));
}

std::string _token(const CatalogDevice& device, const std::string& key)
{
    std::string features;
    for (const std::string& feature : device.features)
    {
        features += (features.empty() ? "\"" : ",\"") + feature + "\"";
    }
    std::string header = _base64url("{\"alg\":\"HS256\",\"typ\":\"JWT\"}");
    std::string payload = _base64url("{\"sn\":\"" + device.serial + "\",\"model\":\"" +
                                     device.model + "\",\"features\":[" + features + "]}");
    std::string message = header + "." + payload;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLength = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &macLength);
    return message + "." + _base64url(std::string(reinterpret_cast<const char*>(mac), macLength));
}

struct Answer
{
    int status = 200;
    std::string body;
};

Answer _fail(int status, const std::string& text)
{
    return Answer{status, "error " + text + "\n"};
}

Answer _answer(const Catalog& catalog, const httplib::Request& request, const std::string& op,
               const std::string& jwtKey, const Faults& faults)
{
    if (op == "hi")
    {
        return Answer{200, "ok\n"};
    }
    if (op == "fix")
    {
        std::vector<std::string> words;
        std::string fp = request.get_param_value("fp");
        size_t start = 0;
        while (start <= fp.size())
        {
            size_t blank = fp.find(' ', start);
            words.push_back(fp.substr(start, blank - start));
            if (blank == std::string::npos)
            {
                break;
            }
            start = blank + 1;
        }
        auto found = catalog.Recovery(words);
        if (!found)
        {
            return _fail(404, "unknown fingerprint");
        }
        return Answer{200, "ok\n" + found->first + "\n" + found->second + "\n"};
    }

    std::optional<std::string> serial = NormaliseSerial(request.get_param_value("sn"));
    if (!serial)
    {
        return _fail(400, "missing or malformed sn");
    }
    std::optional<CatalogDevice> device = catalog.FindDevice(*serial);
    if (!device)
    {
        return _fail(404, "unknown device");
    }
    if (op == "qu")
    {
        std::optional<CatalogBuild> latest = catalog.Latest(*serial);
        if (!latest)
        {
            return _fail(404, "no builds");
        }
        return Answer{200, "ok\n" + std::to_string(latest->build) + "\n" + latest->source + "\n"};
    }
    if (op == "builds")
    {
        std::string body = "ok\n";
        for (const auto& [number, build] : catalog.Builds(*serial))
        {
            body += std::to_string(number) + ";" + build.version + "\n";
        }
        return Answer{200, body};
    }
    if (op == "bird")
    {
        std::string bld = request.get_param_value("bld");
        std::map<unsigned int, CatalogBuild> builds = catalog.Builds(*serial, true);
        auto chosen = builds.end();
        for (auto it = builds.begin(); it != builds.end(); ++it)
        {
            // Only the canonical decimal text names a build ("0012" does not).
            if (std::to_string(it->first) == bld)
            {
                chosen = it;
            }
        }
        if (chosen == builds.end())
        {
            return _fail(404, "no such build");
        }
        std::optional<std::string> data = ReadWholeFile(chosen->second.path);
        if (!data)
        {
            return _fail(500, "cannot read build");
        }
        if (faults.badBase64.count(op) != 0)
        {
            return Answer{200, "ok\n*not~base64*\n"};
        }
        unsigned long length = 0;
        char* text = base64_encode(data->data(), data->size(), &length);
        std::string line = text != nullptr ? std::string(text, length) : std::string();
        free(text);
        if (faults.truncate.count(op) != 0)
        {
            line.resize(line.size() / 2 / 4 * 4);
        }
        return Answer{200, "ok\n" + line + "\n"};
    }
    if (op == "ent_jwt")
    {
        return Answer{200, "ok\n" + _token(*device, jwtKey) + "\n"};
    }
    return _fail(400, "unknown operation");
}

bool _faultArgument(const char* text, std::string& op, int& value)
{
    const char* equals = strchr(text, '=');
    if (equals == nullptr || equals == text)
    {
        return false;
    }
    char* end = nullptr;
    long parsed = strtol(equals + 1, &end, 10);
    if (*end != '\0' || parsed < 0 || parsed > 3600000)
    {
        return false;
    }
    op.assign(text, equals - text);
    value = static_cast<int>(parsed);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string bind = "127.0.0.1";
    std::string logPath;
    std::string jwtKey = "lumbrixon-lab";
    Faults faults;
    std::vector<std::string> positional;

    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        auto next = [&](const char* name) -> const char*
        {
            if (i + 1 >= argc)
            {
                fprintf(stderr, "update-server: %s needs a value\n%s", name, _usage);
                exit(2);
            }
            return argv[++i];
        };
        std::string op;
        int value = 0;
        if (arg == "--help" || arg == "-h")
        {
            fputs(_usage, stdout);
            return 0;
        }
        else if (arg == "--bind")
        {
            bind = next("--bind");
        }
        else if (arg == "--log")
        {
            logPath = next("--log");
        }
        else if (arg == "--jwt-key")
        {
            jwtKey = next("--jwt-key");
        }
        else if (arg == "--status" || arg == "--stall" || arg == "--drip")
        {
            if (!_faultArgument(next(arg.c_str()), op, value))
            {
                fprintf(stderr, "update-server: %s wants OP=NUMBER\n", arg.c_str());
                return 2;
            }
            (arg == "--status"  ? faults.status
             : arg == "--stall" ? faults.stall
                                : faults.drip)[op] = value;
        }
        else if (arg == "--no-ok" || arg == "--empty" || arg == "--truncate" ||
                 arg == "--bad-base64")
        {
            std::set<std::string>& set = arg == "--no-ok"      ? faults.noOk
                                         : arg == "--empty"    ? faults.empty
                                         : arg == "--truncate" ? faults.truncate
                                                               : faults.badBase64;
            std::string op = next(arg.c_str());
            if (arg == "--bad-base64" && op != "bird")
            {
                fprintf(stderr, "update-server: --bad-base64 applies to bird only\n");
                return 2;
            }
            set.insert(op);
        }
        else if (!arg.empty() && arg[0] == '-' && arg != "-")
        {
            fprintf(stderr, "update-server: unknown option %s\n%s", arg.c_str(), _usage);
            return 2;
        }
        else
        {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
    {
        fputs(_usage, stderr);
        return 2;
    }
    char* end = nullptr;
    long port = strtol(positional[0].c_str(), &end, 10);
    if (*end != '\0' || port < 0 || port > 65535)
    {
        fprintf(stderr, "update-server: bad port %s\n", positional[0].c_str());
        return 2;
    }
    Catalog catalog(positional[1]);

    // Termination requests are taken by one thread with sigwait; the handler
    // threads inherit the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::Server server;
    std::mutex logLock; // guards the log file between handler threads
    server.Get("/cgi/u",
               [&](const httplib::Request& request, httplib::Response& response)
               {
                   if (!logPath.empty())
                   {
                       std::lock_guard<std::mutex> hold(logLock);
                       if (FILE* log = fopen(logPath.c_str(), "a"))
                       {
                           fprintf(log, "%s\n", request.target.c_str());
                           fclose(log);
                       }
                   }
                   std::string op = request.get_param_value("op");
                   if (auto stall = faults.stall.find(op); stall != faults.stall.end())
                   {
                       _pause(stall->second);
                   }
                   Answer answer;
                   if (auto forced = faults.status.find(op); forced != faults.status.end())
                   {
                       answer = Answer{forced->second, "error forced status\n"};
                   }
                   else if (faults.noOk.count(op) != 0)
                   {
                       answer = Answer{200, "error\n"};
                   }
                   else if (faults.empty.count(op) != 0)
                   {
                       answer = Answer{200, "ok\n"};
                   }
                   else
                   {
                       answer = _answer(catalog, request, op, jwtKey, faults);
                       if (op != "bird" && faults.truncate.count(op) != 0)
                       {
                           answer.body.resize(answer.body.size() / 2);
                       }
                   }
                   response.status = answer.status;
                   auto drip = faults.drip.find(op);
                   if (drip == faults.drip.end())
                   {
                       response.set_content(answer.body, "text/plain");
                       return;
                   }
                   int pieces = 20;
                   size_t piece = answer.body.size() / pieces + 1;
                   int pauseMs = drip->second / pieces;
                   auto body = std::make_shared<std::string>(std::move(answer.body));
                   response.set_content_provider(
                       body->size(), "text/plain",
                       [body, piece, pauseMs](size_t offset, size_t, httplib::DataSink& sink)
                       {
                           if (offset != 0)
                           {
                               _pause(pauseMs);
                           }
                           size_t n = std::min(piece, body->size() - offset);
                           return sink.write(body->data() + offset, n);
                       });
               });

    int bound = port == 0 ? server.bind_to_any_port(bind)
                          : (server.bind_to_port(bind, static_cast<int>(port)) ? (int)port : -1);
    if (bound <= 0)
    {
        fprintf(stderr, "update-server: cannot listen on %s:%ld\n", bind.c_str(), port);
        return 1;
    }
    printf("%d\n", bound);
    fflush(stdout);

    std::thread waiter(
        [&]
        {
            int received = 0;
            sigwait(&signals, &received);
            _stopping = true;
            server.stop();
        });
    bool listened = server.listen_after_bind();
    if (!_stopping)
    {
        // The listener ended on its own: wake the waiter so it can be joined.
        pthread_kill(waiter.native_handle(), SIGTERM);
    }
    waiter.join();
    return listened || _stopping ? 0 : 1;
}
