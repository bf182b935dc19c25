// Test helpers: a temporary directory, BIRD files made on the fly, the local
// update server run as a child process, and a one-shot canned HTTP reply on
// loopback.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

// A minimal well-formed BIRD file: an identity block (build, version, serial,
// model) and one firmware block of `payload` bytes at 0x1000.
std::string MakeBird(unsigned int build, const std::string& version, const std::string& serial,
                     const std::string& model, size_t payload = 64);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);

// The update-server binary on 127.0.0.1, any free port.
class LocalServer
{
public:
    LocalServer() = default;
    ~LocalServer() { Stop(); }
    // Starts `update-server [args] --log LOG 0 directory`; false on failure.
    bool Start(const std::string& directory, const std::vector<std::string>& args = {});
    void Stop();
    std::string URL() const;
    int Port() const { return port; }
    // The request targets received so far, in order.
    std::vector<std::string> Requests() const;

private:
    pid_t pid = -1;
    int port = 0;
    std::string log;
};

// Accepts one connection on 127.0.0.1, records the request head and answers
// with the given status and body, then closes.
class CannedReply
{
public:
    CannedReply(int status, std::string body);
    ~CannedReply();
    std::string URL() const;
    int Port() const { return port; }
    // The request line ("GET /... HTTP/1.1") once the request has arrived.
    std::string RequestLine();

private:
    int listener = -1;
    int port = 0;
    std::thread worker;
    std::string requestHead;
    std::atomic<bool> done{false};
};

// Sends the diagnostic log to a temporary file while it lives.

// Runs a command through the shell; returns its standard output.
std::string RunShell(const std::string& command, int* status = nullptr);
