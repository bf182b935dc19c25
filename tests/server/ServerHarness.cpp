#include "tests/server/ServerHarness.h"

#include "app/Log.h"
#include "tools/birdtool/BirdPack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

std::string MakeBird(unsigned int build, const std::string& version, const std::string& serial,
                     const std::string& model, size_t payload)
{
    // Pseudo-random bytes, so that the file does not shrink to nothing.
    std::vector<uint8_t> firmware(payload);
    uint32_t state = build * 2654435761u + 1;
    for (uint8_t& byte : firmware)
    {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    BirdManifest manifest;
    manifest.blocks.push_back(
        BirdPack_InfoBlockText(std::to_string(build), version, serial, model));
    manifest.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, firmware));
    std::vector<uint8_t> file = BirdPack_File(manifest);
    return std::string(file.begin(), file.end());
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
    {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

bool LocalServer::Start(const std::string& directory, const std::vector<std::string>& args)
{
    log = directory + "/.requests.log";
    unlink(log.c_str());
    int out[2];
    if (pipe(out) != 0)
    {
        return false;
    }
    pid = fork();
    if (pid == 0)
    {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> all = {UPDATE_SERVER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(), {"--log", log, "0", directory});
        std::vector<char*> argv;
        for (std::string& arg : all)
        {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline)
    {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0)
        {
            char buffer[64];
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
            {
                break;
            }
            line.append(buffer, static_cast<size_t>(n));
        }
    }
    close(out[0]);
    port = atoi(line.c_str());
    if (port <= 0)
    {
        Stop();
        return false;
    }
    return true;
}

void LocalServer::Stop()
{
    if (pid > 0)
    {
        // A server that does not end within five seconds of SIGTERM is killed.
        kill(pid, SIGTERM);
        int status = 0;
        for (int waited = 0; waited < 500 && waitpid(pid, &status, WNOHANG) == 0; ++waited)
        {
            usleep(10000);
        }
        if (waitpid(pid, &status, WNOHANG) == 0)
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
    }
}

std::string LocalServer::URL() const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

std::vector<std::string> LocalServer::Requests() const
{
    std::vector<std::string> lines;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line))
    {
        lines.push_back(line);
    }
    return lines;
}

CannedReply::CannedReply(int status, std::string body)
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    worker = std::thread(
        [this, status, body]
        {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
            {
                done = true;
                return;
            }
            int connection = accept(listener, nullptr, nullptr);
            if (connection < 0)
            {
                done = true;
                return;
            }
            std::string head;
            char buffer[1024];
            while (head.find("\r\n\r\n") == std::string::npos)
            {
                pollfd c{connection, POLLIN, 0};
                if (poll(&c, 1, 5000) <= 0)
                {
                    break;
                }
                ssize_t n = recv(connection, buffer, sizeof buffer, 0);
                if (n <= 0)
                {
                    break;
                }
                head.append(buffer, static_cast<size_t>(n));
            }
            requestHead = head;
            std::string reply = "HTTP/1.1 " + std::to_string(status) +
                                " Canned\r\nContent-Type: text/plain\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                body;
            if (send(connection, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
            {
                perror("send");
            }
            close(connection);
            done = true;
        });
}

CannedReply::~CannedReply()
{
    if (worker.joinable())
    {
        // Unblock a worker that never got its connection.
        shutdown(listener, SHUT_RDWR);
        worker.join();
    }
    close(listener);
}

std::string CannedReply::URL() const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

std::string CannedReply::RequestLine()
{
    if (worker.joinable())
    {
        worker.join();
    }
    return requestHead.substr(0, requestHead.find("\r\n"));
}

std::string RunShell(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
    {
        return output;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    {
        output.append(buffer, n);
    }
    int rc = pclose(pipe);
    if (status != nullptr)
    {
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    return output;
}
