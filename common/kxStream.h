// Byte streams: a small record of four operations (get one byte, put one byte,
// write a block, delete) over an opaque implementation reference, with a
// push-back buffer that lets a reader return bytes it cannot use yet.
//
// Every link reads its bytes one at a time and writes whole packets through a
// stream without knowing the transport. The concrete streams are created here
// too: file input and output, serial port, TCP socket, USB module and the COBS
// framed serial stream (see the module headers for details of each one).
//
// Threads: a stream record is not locked. It may be used by two threads at once
// when one of them only reads (get, kxStream_Read, kxStream_ReadRecord and the
// C-string readers, which alone touch the push-back buffer) and the other only
// writes (put, write and the writers). Creating and destroying happen while
// neither of them runs.
#pragma once

#include <lumbrixon/kxError.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxSTREAM_CHECK 0x4321

    // Reads one byte into *byte. kxErrNotReady: no byte available now;
    // kxErrEOF: the source has ended.
    typedef kxErr (*kxStreamGetFunction)(uint8_t* byte, void* ref);
    // Writes one byte.
    typedef kxErr (*kxStreamPutFunction)(uint8_t byte, void* ref);
    // Writes a block of count bytes.
    typedef kxErr (*kxStreamWriteFunction)(const uint8_t* bytes, size_t count, void* ref);
    // Releases the implementation reference.
    typedef kxErr (*kxStreamDeleteFunction)(void* ref);

    typedef struct kxStream kxStream;

    // A stream over the given operations; any of them may be null, but a stream
    // that has `write` must also have `put`. The stream owns `ref`: destroying it
    // calls `del(ref)`. Null when memory runs out.
    kxStream* kxStream_Create(kxStreamGetFunction get, kxStreamPutFunction put,
                              kxStreamWriteFunction write, kxStreamDeleteFunction del, void* ref);

    // True for a non-null stream carrying the check tag.
    bool kxStream_IsValid(const kxStream* stream);
#define kxVALIDSTREAM(stream) kxStream_IsValid(stream)

    // Calls `delete` (when present), frees the record and sets *stream to null.
    // Returns the result of `delete`; kxErrParam for an invalid stream (the
    // reference is cleared all the same).
    kxErr kxStream_Destroy(kxStream** stream);

    // Reads exactly n bytes, all or nothing: on kxErrNotReady every byte gathered
    // is pushed back for the next read. On kxErrEOF the bytes gathered so far are
    // copied to buffer. kxErrMode without `get`; kxErrResource when the temporary
    // buffer cannot be allocated; kxErrMemory when the push-back buffer cannot
    // grow.
    kxErr kxStream_Read(kxStream* stream, uint8_t* buffer, size_t n);

    // Writes n bytes: one `write` call when the stream has `write` and n > 1,
    // otherwise `put` byte by byte up to the first failure. kxErrMode with neither
    // operation; kxErrParam for null bytes.
    kxErr kxStream_Write(kxStream* stream, const uint8_t* bytes, size_t n);

    // Reads one record ended by the terminator bytes, or maxLength bytes without
    // one. The terminator is not stored. *size (when size is not null) receives
    // the record length. On kxErrNotReady every byte read by the call, terminator
    // bytes included, is pushed back in its order of arrival. On kxErrEOF with
    // bytes stored, the stored bytes are returned as a complete record.
    kxErr kxStream_ReadRecord(kxStream* stream, uint8_t* buffer, size_t* size, size_t maxLength,
                              const uint8_t* terminator, size_t terminatorLength);
    // Writes the bytes, then the terminator.
    kxErr kxStream_WriteRecord(kxStream* stream, const uint8_t* bytes, size_t n,
                               const uint8_t* terminator, size_t terminatorLength);

    // A record ended by one 0x00 byte, at most size - 1 characters, 0-terminated
    // in buffer on success.
    kxErr kxStream_ReadCString(kxStream* stream, char* buffer, size_t size);
    // The characters of string, then one 0x00 byte.
    kxErr kxStream_WriteCString(kxStream* stream, const char* string);
    // A record ended by the characters of terminator, at most size - 1
    // characters, 0-terminated in buffer on success.
    kxErr kxStream_ReadCStringRecord(kxStream* stream, char* buffer, size_t size,
                                     const char* terminator);
    // The characters of string, then those of terminator and its 0x00 byte.
    kxErr kxStream_WriteCStringRecord(kxStream* stream, const char* string, const char* terminator);

    // Copies byte by byte from source to destination until source ends
    // (kxErrNone) or either side fails (that result).
    kxErr kxStream_Flush(kxStream* source, kxStream* destination);

    // File streams over the file layer. Input: `get` reads one byte, kxErrEOF at
    // the end. Output: `put` and `write`. Both give kxErrResource for a null
    // argument, a file that cannot be opened or a failed allocation.
    kxErr kxStream_CreateFileInput(const char* path, kxStream** stream);
    kxErr kxStream_CreateFileOutput(const char* path, kxStream** stream);

    // A raw serial stream (kxStreamSerial.h). baudIndex 0..7 selects
    // 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400 bits per second
    // (a higher index is refused); dataBits 0 = 8, 1 = 7; stopBits 0 = one,
    // 1 = two; parity non-zero = even.
    kxErr kxStream_CreateSerial(const char* port, uint32_t baudIndex, uint32_t parity,
                                uint32_t dataBits, uint32_t stopBits, kxStream** stream);
    // The same serial port carrying COBS frames with a CRC-8
    // (kxStream_CobsEncoding.h).
    kxErr kxStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, uint32_t parity,
                                           uint32_t dataBits, uint32_t stopBits, kxStream** stream);

    // A TCP connection (kxStreamSocket.h). address: IPv4 in network byte
    // order; port: host order.
    kxErr kxStream_CreateSocket(uint32_t address, uint16_t port, kxStream** stream);

    // A module reached through the USB driver (kxStreamUSB.h).
    kxErr kxStream_CreateUSB(uint32_t serialNumber, kxStream** stream);

    // A COBS framing stream over an inner stream given by its operations and
    // reference (kxStream_CobsEncoding.h). The COBS stream owns the inner
    // reference: it is released through `del`.
    kxErr kxStream_CreateCobsEncoding(kxStreamGetFunction get, kxStreamPutFunction put,
                                      kxStreamWriteFunction write, kxStreamDeleteFunction del,
                                      void* ref, kxStream** stream);

#ifdef __cplusplus
}
#endif
