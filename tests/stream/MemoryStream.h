// An in-memory stream for the tests: scripted input and captured output.
#pragma once

#include <lumbrixon/kxStream.h>

#include <cstdint>
#include <deque>
#include <vector>

// Each scripted input step is a byte, or a result other than kxErrNone that
// `get` returns once. An empty script gives `atEnd`.
struct MemoryStream
{
    struct Step
    {
        kxErr result;
        uint8_t byte;
    };
    std::deque<Step> input;
    kxErr atEnd = kxErrEOF;
    std::vector<uint8_t> written;
    int getCalls = 0;
    int putCalls = 0;
    int writeCalls = 0;
    int deleteCalls = 0;
    kxErr writeResult = kxErrNone;
    // Results of the next `write` calls, one each; then `writeResult`.
    std::deque<kxErr> writeResults;

    void Feed(const std::vector<uint8_t>& bytes)
    {
        for (uint8_t b : bytes)
        {
            input.push_back({kxErrNone, b});
        }
    }
    void FeedResult(kxErr result) { input.push_back({result, 0}); }

    static kxErr Get(uint8_t* byte, void* ref)
    {
        auto* self = static_cast<MemoryStream*>(ref);
        self->getCalls++;
        if (self->input.empty())
        {
            return self->atEnd;
        }
        Step step = self->input.front();
        self->input.pop_front();
        if (step.result == kxErrNone)
        {
            *byte = step.byte;
        }
        return step.result;
    }
    static kxErr Put(uint8_t byte, void* ref)
    {
        auto* self = static_cast<MemoryStream*>(ref);
        self->putCalls++;
        self->written.push_back(byte);
        return kxErrNone;
    }
    static kxErr Write(const uint8_t* bytes, size_t n, void* ref)
    {
        auto* self = static_cast<MemoryStream*>(ref);
        self->writeCalls++;
        self->written.insert(self->written.end(), bytes, bytes + n);
        if (!self->writeResults.empty())
        {
            kxErr result = self->writeResults.front();
            self->writeResults.pop_front();
            return result;
        }
        return self->writeResult;
    }
    static kxErr Delete(void* ref)
    {
        static_cast<MemoryStream*>(ref)->deleteCalls++;
        return kxErrNone;
    }

    // A stream over this record that does not own it.
    kxStream* Stream(bool withWrite = true)
    {
        return kxStream_Create(Get, Put, withWrite ? Write : nullptr, Delete, this);
    }
    // A COBS stream over this record.
    kxStream* CobsStream()
    {
        kxStream* stream = nullptr;
        kxStream_CreateCobsEncoding(Get, Put, Write, Delete, this, &stream);
        return stream;
    }
};

// Makes `limit` one-byte reads and returns the bytes they yield; reads that
// report kxErrPacket are counted in *packetErrors.
inline std::vector<uint8_t> Drain(kxStream* stream, int limit, int* packetErrors = nullptr)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < limit; i++)
    {
        uint8_t b = 0;
        kxErr err = kxStream_Read(stream, &b, 1);
        if (err == kxErrNone)
        {
            bytes.push_back(b);
        }
        else if (err == kxErrPacket && packetErrors != nullptr)
        {
            (*packetErrors)++;
        }
    }
    return bytes;
}
