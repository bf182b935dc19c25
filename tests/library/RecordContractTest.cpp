// Every record of the device library against the record rules of
// <lumbrixon/lumbrixon.h>: destroy and one other operation, each given a null
// pointer, a record of another type and a valid record.
#include "tests/multicast/NetNamespace.h"
#include "tests/support/TempDir.h"
#include <lumbrixon/lumbrixon.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace
{
// A record's handle: its pointer, or a FIFO's identifier.
using Handle = uintptr_t;

struct Outcome
{
    int result;
    bool clearsHandle; // destroy only: the caller's handle is 0 afterwards
};

struct RecordKind
{
    std::string name;
    std::function<Handle()> make;            // a valid record
    std::function<Handle()> makeForeign;     // a record of another type
    std::function<void(Handle)> freeForeign; // the proper destroy of that one
    std::function<int(Handle*)> destroy;     // called with a null address too
    std::function<int(Handle)> other;        // one more operation
    int destroyNullAddress;
    Outcome destroyNull;
    Outcome destroyForeign;
    Outcome destroyValid;
    int otherNull;
    int otherForeign;
    int otherValid;
    bool needsPrivateNetwork = false;
};

// Test names and failure messages show the kind by its name.
void PrintTo(const RecordKind& kind, std::ostream* out)
{
    *out << kind.name;
}

template <typename T> T* P(Handle h)
{
    return reinterpret_cast<T*>(h);
}
template <typename T> Handle H(T* p)
{
    return reinterpret_cast<Handle>(p);
}

// Calls `destroy(T**)` on the pointer held in *h (or with a null address)
// and writes the pointer back.
template <typename T, typename R> std::function<int(Handle*)> DestroyThrough(R (*destroy)(T**))
{
    return [destroy](Handle* h) -> int
    {
        if (h == nullptr)
            return static_cast<int>(destroy(nullptr));
        T* p = P<T>(*h);
        int rc = static_cast<int>(destroy(&p));
        *h = H(p);
        return rc;
    };
}

// The foreign record for most kinds is a packet; for the packet, a mutex.
Handle AnyPacket()
{
    return H(kxPacket_Create());
}
void FreePacket(Handle h)
{
    kxPacket* p = P<kxPacket>(h);
    ASSERT_EQ(kxPacket_Destroy(&p), kxErrNone) << "the foreign record was freed or changed";
}

kxErr sPut(uint8_t, void*)
{
    return kxErrNone;
}

int sIdle(void*)
{
    return 0;
}

void sLogNothing(kxFileRef, int32_t) {}

std::string gScratch; // a directory for the file and logger records
const uint8_t sByte = 0x55;

std::vector<RecordKind> Kinds()
{
    std::vector<RecordKind> kinds;

    kinds.push_back({
        "Packet",
        [] { return H(kxPacket_Create()); },
        [] { return H(kxMutex_Create("foreign")); },
        [](Handle h)
        {
            kxMutex* m = P<kxMutex>(h);
            ASSERT_EQ(kxMutex_Destroy(&m), kxErrNone);
        },
        DestroyThrough(kxPacket_Destroy),
        [](Handle h) { return static_cast<int>(kxPacket_Reset(P<kxPacket>(h))); },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    kinds.push_back({
        "Stream",
        [] { return H(kxStream_Create(nullptr, sPut, nullptr, nullptr, nullptr)); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxStream_Destroy),
        [](Handle h) { return static_cast<int>(kxStream_Write(P<kxStream>(h), &sByte, 1)); },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    kinds.push_back({
        "File",
        [] { return H(kxFile_Open((gScratch + "/file").c_str(), kxFileWrite)); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxFile_Close),
        [](Handle h) { return static_cast<int>(kxFile_Write(P<kxFile>(h), &sByte, 1, nullptr)); },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    kinds.push_back({
        "Mutex",
        [] { return H(kxMutex_Create("valid")); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxMutex_Destroy),
        [](Handle h)
        {
            kxErr rc = kxMutex_TryLock(P<kxMutex>(h));
            if (rc == kxErrNone)
                kxMutex_Unlock(P<kxMutex>(h));
            return static_cast<int>(rc);
        },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    kinds.push_back({
        "Condition",
        [] { return H(kxCondition_Create()); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxCondition_Destroy),
        [](Handle h) { return static_cast<int>(kxCondition_Broadcast(P<kxCondition>(h))); },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    // The join status is an errno value; IsCurrent is false from this thread.
    kinds.push_back({
        "Thread",
        [] { return H(kxThread_Create(sIdle, nullptr)); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxThread_Destroy),
        [](Handle h) { return kxThread_IsCurrent(P<kxThread>(h)) ? 1 : 0; },
        EINVAL,
        {EINVAL, true},
        {EINVAL, true},
        {0, true},
        0,
        0,
        0,
    });
    // Destroy ignores what is not a logger and leaves the pointer alone.
    kinds.push_back({
        "Logger",
        [] { return H(kxLogger_Create(7, sLogNothing, (gScratch + "/log").c_str())); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxLogger_Destroy),
        [](Handle h) { return static_cast<int>(kxLogger_Disable(P<kxLogger>(h))); },
        kxErrNone,
        {kxErrNone, true},
        {kxErrNone, false},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    // Counts: -2 for none, -3 for a receive on a sending socket.
    RecordKind multicast{
        "Multicast",
        [] { return H(kxMulticast_Create(0, htonl(0xE0000007), 9851, true)); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxMulticast_Destroy),
        [](Handle h)
        {
            uint8_t buffer[4];
            return static_cast<int>(kxMulticast_Receive(P<kxMulticast>(h), buffer, sizeof buffer));
        },
        -2,
        {-2, true},
        {-2, true},
        {0, true},
        -2,
        -2,
        -3,
    };
    multicast.needsPrivateNetwork = true;
    kinds.push_back(multicast);
    // A kernel-mode record that was never opened: writing is refused by mode.
    kinds.push_back({
        "UsbDriver",
        [] { return H(lxusb_create_usb(lxusbModeKernel)); },
        AnyPacket,
        FreePacket,
        DestroyThrough(lxusb_destroy),
        [](Handle h)
        { return static_cast<int>(lxusb_write_to_device(P<lxusb_device>(h), &sByte, 1)); },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrMode,
    });
    // Named by identifiers: the "record of another type" is an identifier
    // that names no FIFO, and stays as it is.
    kinds.push_back({
        "PacketFifo",
        [] { return Handle(kxPacketFifo_Create()); },
        [] { return Handle(UINT64_MAX); },
        [](Handle) {},
        [](Handle* h) -> int
        {
            if (h == nullptr)
                return kxPacketFifo_Destroy(nullptr);
            uint64_t id = *h;
            int rc = kxPacketFifo_Destroy(&id);
            *h = id;
            return rc;
        },
        [](Handle h)
        {
            const uint8_t data[1] = {1};
            kxPacket* packet = kxPacket_CreateWithData(0x04, 1, data);
            int rc = kxPacketFifo_Put(h, packet);
            kxPacket_Destroy(&packet);
            return rc;
        },
        kxErrParam,
        {kxErrNotFound, true},
        {kxErrNotFound, false},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    kinds.push_back({
        "PacketLog",
        [] { return H(kxPacketLog_Create("contract")); },
        AnyPacket,
        FreePacket,
        DestroyThrough(kxPacketLog_Destroy),
        [](Handle h) { return static_cast<int>(kxPacketLog_Enable(P<kxPacketLog>(h))); },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    // Links are named by registry identifiers: the "record of another type"
    // is an identifier that names no link, which destroy sets to 0.
    kinds.push_back({
        "Link",
        [] {
            return Handle(kxLink_Create(kxStream_Create(nullptr, sPut, nullptr, nullptr, nullptr)));
        },
        [] { return Handle(UINT32_MAX); },
        [](Handle) {},
        [](Handle* h) -> int
        {
            if (h == nullptr)
                return kxLink_Destroy(nullptr);
            uint32_t id = static_cast<uint32_t>(*h);
            int rc = kxLink_Destroy(&id);
            *h = id;
            return rc;
        },
        [](Handle h)
        {
            const uint8_t data[1] = {1};
            kxPacket* packet = kxPacket_CreateWithData(0x04, 1, data);
            int rc = kxLink_PutPacket(static_cast<uint32_t>(h), packet);
            kxPacket_Destroy(&packet);
            return rc;
        },
        kxErrParam,
        {kxErrParam, true},
        {kxErrParam, true},
        {kxErrNone, true},
        kxErrParam,
        kxErrParam,
        kxErrNone,
    });
    return kinds;
}

class RecordContract : public ::testing::TestWithParam<RecordKind>
{
protected:
    void SetUp() override
    {
        if (GetParam().needsPrivateNetwork && !testInPrivateNetwork())
            GTEST_SKIP() << "needs a private network namespace";
        gScratch = scratch.path();
    }
    TempDir scratch;
};

TEST_P(RecordContract, DestroyWithANullAddress)
{
    EXPECT_EQ(GetParam().destroy(nullptr), GetParam().destroyNullAddress);
}

TEST_P(RecordContract, DestroyANullRecord)
{
    Handle none = 0;
    EXPECT_EQ(GetParam().destroy(&none), GetParam().destroyNull.result);
    EXPECT_EQ(none, 0u);
}

TEST_P(RecordContract, DestroyARecordOfAnotherType)
{
    const RecordKind& kind = GetParam();
    Handle foreign = kind.makeForeign();
    ASSERT_NE(foreign, 0u);
    Handle handle = foreign;
    EXPECT_EQ(kind.destroy(&handle), kind.destroyForeign.result);
    EXPECT_EQ(handle, kind.destroyForeign.clearsHandle ? 0u : foreign);
    // Still intact: its own destroy succeeds (a freed record would be a double
    // free under the address sanitizer).
    kind.freeForeign(foreign);
}

TEST_P(RecordContract, DestroyAValidRecord)
{
    const RecordKind& kind = GetParam();
    Handle handle = kind.make();
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(kind.destroy(&handle), kind.destroyValid.result);
    EXPECT_EQ(handle, 0u);
}

TEST_P(RecordContract, OtherOperation)
{
    const RecordKind& kind = GetParam();
    EXPECT_EQ(kind.other(0), kind.otherNull) << "null";
    Handle foreign = kind.makeForeign();
    ASSERT_NE(foreign, 0u);
    EXPECT_EQ(kind.other(foreign), kind.otherForeign) << "record of another type";
    kind.freeForeign(foreign);
    Handle handle = kind.make();
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(kind.other(handle), kind.otherValid) << "valid record";
    kind.destroy(&handle);
    EXPECT_EQ(handle, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryRecord, RecordContract, ::testing::ValuesIn(Kinds()),
                         [](const ::testing::TestParamInfo<RecordKind>& info)
                         { return info.param.name; });
} // namespace
