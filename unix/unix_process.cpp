// The own process over POSIX signals.
#include <lumbrixon/kxProcess.h>

#include <signal.h>
#include <unistd.h>

uint32_t kxProcess_Id(void)
{
    return static_cast<uint32_t>(getpid());
}

kxErr kxProcess_Interrupt(void)
{
    return kill(getpid(), SIGINT) == 0 ? kxErrNone : kxErrUnknown;
}
