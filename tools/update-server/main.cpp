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
    "  --drip OP=MS        send the answer of OP in 20 pieces spread over MS ms\n"
    "  --endless OP        answer OP with \"ok\" and a body that does not end (it\n"
    "                      stops after 4 GiB, or when the client goes away)\n"
    "  --nul OP            put three zero bytes at the start of the answer's second line\n";

// The faults asked for on the command line, by operation name.
// Threads: written by main while it reads the command line, before the server
// starts; afterwards only read, by the handler threads.
struct Faults
{
    std::map<std::string, int> status;
    std::set<std::string> noOk;
    std::set<std::string> empty;
    std::set<std::string> truncate;
    std::set<std::string> badBase64;
    std::map<std::string, int> stall;
    std::map<std::string, int> drip;
    std::set<std::string> endless;
    std::set<std::string> nul;
};

// The most an endless answer sends before it gives up on the client.
constexpr uint64_t _ENDLESS_LIMIT = 4ull << 30;

// Set by the signal thread when a termination request arrives; read by the
// handler threads, whose pauses end early then.
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

// What the command line asks for.
// Threads: filled by main before the server starts, then only read.
struct Options
{
    std::string bind = "127.0.0.1";
    std::string logPath;
    std::string jwtKey = "lumbrixon-lab";
    Faults faults;
    long port = 0;
    std::string directory;
};

// The result of one option: go on reading, or end the run with a status.
constexpr int _GO_ON = -1;

int _option_help(Options&, const char*)
{
    fputs(_usage, stdout);
    return 0;
}

int _option_bind(Options& options, const char* value)
{
    options.bind = value;
    return _GO_ON;
}

int _option_log(Options& options, const char* value)
{
    options.logPath = value;
    return _GO_ON;
}

int _option_jwt_key(Options& options, const char* value)
{
    options.jwtKey = value;
    return _GO_ON;
}

// OP=NUMBER into one of the numeric fault tables.
int _fault_number(std::map<std::string, int>& faults, const char* option, const char* value)
{
    std::string op;
    int number = 0;
    if (!_faultArgument(value, op, number))
    {
        fprintf(stderr, "update-server: %s wants OP=NUMBER\n", option);
        return 2;
    }
    faults[op] = number;
    return _GO_ON;
}

int _option_status(Options& options, const char* value)
{
    return _fault_number(options.faults.status, "--status", value);
}

int _option_stall(Options& options, const char* value)
{
    return _fault_number(options.faults.stall, "--stall", value);
}

int _option_drip(Options& options, const char* value)
{
    return _fault_number(options.faults.drip, "--drip", value);
}

int _option_no_ok(Options& options, const char* value)
{
    options.faults.noOk.insert(value);
    return _GO_ON;
}

int _option_empty(Options& options, const char* value)
{
    options.faults.empty.insert(value);
    return _GO_ON;
}

int _option_truncate(Options& options, const char* value)
{
    options.faults.truncate.insert(value);
    return _GO_ON;
}

int _option_endless(Options& options, const char* value)
{
    options.faults.endless.insert(value);
    return _GO_ON;
}

int _option_nul(Options& options, const char* value)
{
    options.faults.nul.insert(value);
    return _GO_ON;
}

int _option_bad_base64(Options& options, const char* value)
{
    if (strcmp(value, "bird") != 0)
    {
        fprintf(stderr, "update-server: --bad-base64 applies to bird only\n");
        return 2;
    }
    options.faults.badBase64.insert(value);
    return _GO_ON;
}

struct OptionEntry
{
    const char* name;
    bool takesValue;
    int (*apply)(Options& options, const char* value);
};

const OptionEntry _options[] = {
    {"--help", false, _option_help},        {"-h", false, _option_help},
    {"--bind", true, _option_bind},         {"--log", true, _option_log},
    {"--jwt-key", true, _option_jwt_key},   {"--status", true, _option_status},
    {"--stall", true, _option_stall},       {"--drip", true, _option_drip},
    {"--no-ok", true, _option_no_ok},       {"--empty", true, _option_empty},
    {"--truncate", true, _option_truncate}, {"--bad-base64", true, _option_bad_base64},
    {"--endless", true, _option_endless},   {"--nul", true, _option_nul},
};

// The two operands: PORT (0 to 65535) and DIRECTORY.
int _operands(Options& options, const std::vector<std::string>& positional)
{
    if (positional.size() != 2)
    {
        fputs(_usage, stderr);
        return 2;
    }
    char* end = nullptr;
    options.port = strtol(positional[0].c_str(), &end, 10);
    if (*end != '\0' || options.port < 0 || options.port > 65535)
    {
        fprintf(stderr, "update-server: bad port %s\n", positional[0].c_str());
        return 2;
    }
    options.directory = positional[1];
    return _GO_ON;
}

// Reads the command line into options: _GO_ON, or the exit status the run
// ends with (0 after --help, 2 for a usage error).
int _read_command_line(int argc, char** argv, Options& options)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        const OptionEntry* entry = nullptr;
        for (const OptionEntry& candidate : _options)
        {
            if (arg == candidate.name)
            {
                entry = &candidate;
            }
        }
        if (entry == nullptr)
        {
            if (!arg.empty() && arg[0] == '-' && arg != "-")
            {
                fprintf(stderr, "update-server: unknown option %s\n%s", arg.c_str(), _usage);
                return 2;
            }
            positional.push_back(arg);
            continue;
        }
        const char* value = nullptr;
        if (entry->takesValue)
        {
            if (i + 1 >= argc)
            {
                fprintf(stderr, "update-server: %s needs a value\n%s", entry->name, _usage);
                return 2;
            }
            value = argv[++i];
        }
        int status = entry->apply(options, value);
        if (status != _GO_ON)
        {
            return status;
        }
    }
    return _operands(options, positional);
}

// What every request handler shares.
// Threads: main builds it before the server listens; the HTTP server's handler
// threads (one per connection) then read `options` without a lock, since it
// does not change while the server runs; `catalog` guards its own index (see
// Catalog.h). `logLock` serialises the appends to the request log; nothing
// else is called while it is held, and it is never held with the
// catalogue's lock.
struct Shared
{
    const Options& options;
    const Catalog catalog;
    std::mutex logLock;
};

void _log_request(Shared& shared, const httplib::Request& request)
{
    if (shared.options.logPath.empty())
    {
        return;
    }
    std::lock_guard<std::mutex> hold(shared.logLock);
    if (FILE* log = fopen(shared.options.logPath.c_str(), "a"))
    {
        fprintf(log, "%s\n", request.target.c_str());
        fclose(log);
    }
}

// The answer to one request, with the faults that replace or cut it.
Answer _faulty_answer(const Shared& shared, const httplib::Request& request, const std::string& op)
{
    const Faults& faults = shared.options.faults;
    if (auto forced = faults.status.find(op); forced != faults.status.end())
    {
        return Answer{forced->second, "error forced status\n"};
    }
    if (faults.noOk.count(op) != 0)
    {
        return Answer{200, "error\n"};
    }
    if (faults.empty.count(op) != 0)
    {
        return Answer{200, "ok\n"};
    }
    Answer answer = _answer(shared.catalog, request, op, shared.options.jwtKey, faults);
    if (op != "bird" && faults.truncate.count(op) != 0)
    {
        answer.body.resize(answer.body.size() / 2);
    }
    if (faults.nul.count(op) != 0)
    {
        size_t second = answer.body.find('\n');
        answer.body.insert(second == std::string::npos ? answer.body.size() : second + 1,
                           std::string(3, '\0'));
    }
    return answer;
}

// Sends the body in 20 pieces spread over `milliseconds`.
void _drip(httplib::Response& response, std::string body, int milliseconds)
{
    const int pieces = 20;
    size_t piece = body.size() / pieces + 1;
    int pauseMs = milliseconds / pieces;
    auto shared = std::make_shared<std::string>(std::move(body));
    response.set_content_provider(
        shared->size(), "text/plain",
        [shared, piece, pauseMs](size_t offset, size_t, httplib::DataSink& sink)
        {
            if (offset != 0)
            {
                _pause(pauseMs);
            }
            size_t n = std::min(piece, shared->size() - offset);
            return sink.write(shared->data() + offset, n);
        });
}

// "ok", then line after line of base64 letters without a length and without
// an end, until the client gives up (or the limit is reached).
void _endless(httplib::Response& response)
{
    response.status = 200;
    response.set_chunked_content_provider("text/plain",
                                          [](size_t offset, httplib::DataSink& sink)
                                          {
                                              static const std::string piece =
                                                  "ok\n" + std::string(64 * 1024 - 3, 'A');
                                              if (_stopping || offset >= _ENDLESS_LIMIT)
                                              {
                                                  sink.done();
                                                  return true;
                                              }
                                              return sink.write(piece.data(), piece.size());
                                          });
}

// GET /cgi/u, on a handler thread.
void _handle(Shared& shared, const httplib::Request& request, httplib::Response& response)
{
    _log_request(shared, request);
    const Faults& faults = shared.options.faults;
    std::string op = request.get_param_value("op");
    if (auto stall = faults.stall.find(op); stall != faults.stall.end())
    {
        _pause(stall->second);
    }
    if (faults.endless.count(op) != 0)
    {
        _endless(response);
        return;
    }
    Answer answer = _faulty_answer(shared, request, op);
    response.status = answer.status;
    if (auto drip = faults.drip.find(op); drip != faults.drip.end())
    {
        _drip(response, std::move(answer.body), drip->second);
        return;
    }
    response.set_content(answer.body, "text/plain");
}

// Binds the address and port (0: any free port); the port bound, or -1.
int _bind(httplib::Server& server, const Options& options)
{
    if (options.port == 0)
    {
        return server.bind_to_any_port(options.bind);
    }
    return server.bind_to_port(options.bind, static_cast<int>(options.port))
               ? static_cast<int>(options.port)
               : -1;
}

// Serves until a termination signal (taken by one thread with sigwait; the
// handler threads inherit the blocked mask) or until the listener fails.
int _serve(httplib::Server& server, sigset_t signals)
{
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

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int status = _read_command_line(argc, argv, options);
    if (status != _GO_ON)
    {
        return status;
    }
    Shared shared{options, Catalog(options.directory), {}};

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::Server server;
    server.Get("/cgi/u", [&shared](const httplib::Request& request, httplib::Response& response)
               { _handle(shared, request, response); });
    int bound = _bind(server, options);
    if (bound <= 0)
    {
        fprintf(stderr, "update-server: cannot listen on %s:%ld\n", options.bind.c_str(),
                options.port);
        return 1;
    }
    printf("%d\n", bound);
    fflush(stdout);
    return _serve(server, signals);
}
