// A second process using a shared module: finds the device server with the
// local search, reaches the module through a client link (client stream and
// registry) and checks that every reply it gets is the one to its own
// request.
//
//   devserver_client SERIAL COUNT
//
// Prints "found PORT", then "ok N of COUNT"; exit status 0 when all COUNT
// replies were right, 1 otherwise.
#include <lumbrixon/discover.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
struct Wanted
{
    uint32_t serial;
    linkSpec spec;
    bool found;
};

bool TakeServer(const linkSpec* spec, uint8_t* success, void* ref)
{
    auto* wanted = static_cast<Wanted*>(ref);
    if (spec->serialNumber != wanted->serial)
    {
        return true;
    }
    wanted->spec = *spec;
    wanted->found = true;
    *success = 1;
    return false;
}

bool Any(const kxPacket*, void*)
{
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: devserver_client SERIAL COUNT\n");
        return 1;
    }
    Wanted wanted = {static_cast<uint32_t>(strtoul(argv[1], nullptr, 16)), {}, false};
    int count = atoi(argv[2]);
    kxDiscovery_Enumerate_kxEtherModules(TakeServer, &wanted, 0);
    if (!wanted.found)
    {
        printf("no server\n");
        return 1;
    }
    printf("found %u type %u module %u model %u\n", wanted.spec.port, wanted.spec.type,
           wanted.spec.module, wanted.spec.model);
    fflush(stdout);
    uint32_t id =
        kxLink_CreateClient(wanted.spec.address, static_cast<uint16_t>(wanted.spec.port), 0);
    if (id == 0)
    {
        printf("no client link\n");
        return 1;
    }
    auto module = static_cast<uint8_t>(wanted.spec.module);
    int ok = 0;
    for (int i = 0; i < count; i++)
    {
        // Options 3 and 5 of the test entity (int 0x33333333, int 0x55555555).
        uint8_t option = i % 2 == 0 ? 3 : 5;
        uint32_t value = option == 3 ? 0x33333333u : 0x55555555u;
        uint8_t request[3] = {0x20, static_cast<uint8_t>(0x40 | option), 0x20};
        kxPacket* packet = kxPacket_CreateWithData(module, 3, request);
        kxLink_PutPacket(id, packet);
        kxPacket_Destroy(&packet);
        kxPacket* reply = kxLink_AwaitFirst(id, Any, nullptr, 5000);
        if (reply != nullptr && reply->address == module && reply->length == 7 &&
            reply->data[0] == 0x20 && reply->data[1] == option &&
            kxUEI_RetrieveInt(reply->data + 3) == value)
        {
            ok++;
        }
        else if (reply != nullptr)
        {
            printf("wrong reply to option %u: length %u option %u\n", option, reply->length,
                   reply->data[1]);
        }
        else
        {
            printf("no reply to option %u\n", option);
        }
        kxPacket_Destroy(&reply);
    }
    printf("ok %d of %d\n", ok, count);
    kxLink_Destroy(&id);
    return ok == count ? 0 : 1;
}
