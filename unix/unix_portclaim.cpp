// Exclusive loopback port claims: a TCP socket bound to 127.0.0.1 without
// address reuse, never listening.
#include <lumbrixon/kxPortClaim.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static int sBind(uint16_t port, int* error)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
    {
        *error = errno;
        return -1;
    }
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
    {
        *error = errno;
        close(s);
        return -1;
    }
    *error = 0;
    return s;
}

int kxPortClaim_Take(uint16_t port)
{
    int error = 0;
    return sBind(port, &error);
}

void kxPortClaim_Release(int* handle)
{
    if (handle == nullptr || *handle < 0)
        return;
    close(*handle);
    *handle = -1;
}

bool kxPortClaim_IsTaken(uint16_t port)
{
    int error = 0;
    int s = sBind(port, &error);
    if (s >= 0)
    {
        close(s);
        return false;
    }
    return error == EADDRINUSE;
}
