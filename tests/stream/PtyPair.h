// A pseudo-terminal pair for the stream tests: the stream under test opens the
// slave by its path, the test plays the far end on the master.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

struct PtyPair
{
    int master = -1;
    int slave = -1;
    std::string path;

    PtyPair()
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        path = name;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair()
    {
        if (master >= 0)
        {
            close(master);
        }
        if (slave >= 0)
        {
            close(slave);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Puts the slave side into raw mode (for users that do not set it).
    void MakeRaw()
    {
        struct termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }

    // Reads from the master until `count` bytes or `until` arrived or
    // `timeoutMs` passed.
    std::vector<uint8_t> Read(size_t count, int timeoutMs, int until = -1)
    {
        std::vector<uint8_t> bytes;
        for (int waited = 0; bytes.size() < count && waited < timeoutMs; waited += 5)
        {
            struct pollfd pfd = {master, POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0)
            {
                continue;
            }
            uint8_t byte = 0;
            while (bytes.size() < count && read(master, &byte, 1) == 1)
            {
                bytes.push_back(byte);
                if (byte == until)
                {
                    return bytes;
                }
            }
        }
        return bytes;
    }

    void Write(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};
