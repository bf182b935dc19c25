// COBS framing streams.
//
// A COBS stream carries whole device packets over an inner byte stream (the
// serial port): each packet's wire form (address, length, data) is followed by
// its CRC-8, COBS-encoded and ended with one 0x00 delimiter.
//
// kxStream_CreateCobsEncoding (declared in kxStream.h) builds one over
// the inner stream's operations and reference; the COBS stream then owns the
// inner reference and releases it through the inner `del`. When creation fails
// the inner reference is left to the caller. Results: kxErrParam for a null
// output, kxErrMemory when the state cannot be allocated, kxErrResource when
// the stream record cannot be created.
//
// `get` consumes at most one inner byte per call and gives kxErrNotReady until
// a frame is complete (a failure of the inner `get` other than kxErrNotReady
// is passed on, and the frame under way is kept); the bytes of a good frame's packet (without the
// CRC) come out of the following calls. A frame with a bad length or CRC, or one longer than
// kxCOBS_MAX_PACKET_WITH_CHECKSUM_BYTES before encoding (more than kxCOBS_MAX_ENCODED_FRAME_BYTES
// encoded), is reported once as kxErrPacket and produces no bytes; the next frame starts after the
// next delimiter. The reader takes every packet a module may send, up to kxPACKET_MAX_DATA data
// bytes.
//
// `write` takes one or more whole packets. Each must be well formed (non-zero
// address, length byte, that many data bytes) and at most
// kxCOBS_MAX_WRITE_PACKET_BYTES long; otherwise nothing is written and the
// result is kxErrPacket (malformed or incomplete) or kxErrSize (too long).
// Every packet becomes one frame handed to the inner `write` (or, without one,
// to the inner `put` byte by byte). All frames of a batch are sent even when
// one fails; the result is then the last failure, never kxErrNone. Whatever
// `write` frames, `get` accepts.
// `put` passes one byte to the inner stream unframed.
//
// Threads: one thread may read (get) while another writes (write, put).
#pragma once

#include <lumbrixon/kxStream.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxCOBS_CHECK 0xC0B5
// The longest frame content before encoding: a packet of 30 bytes (28 data
// bytes) and its CRC.
#define MAX_PACKET_WITH_CHECKSUM_BYTES 31
#define kxCOBS_MAX_PACKET_WITH_CHECKSUM_BYTES MAX_PACKET_WITH_CHECKSUM_BYTES
// The longest encoded frame before its delimiter: COBS adds one byte to those
// 31, so the longest packet arrives as 32 bytes and a 0x00.
#define kxCOBS_MAX_ENCODED_FRAME_BYTES (MAX_PACKET_WITH_CHECKSUM_BYTES + 1)
// The longest packet `write` frames (26 data bytes); longer ones are refused.
// Its frame (packet, CRC, COBS overhead, delimiter) fits the 32-byte outgoing
// buffer.
#define kxCOBS_MAX_WRITE_PACKET_BYTES 28
#define kxCOBS_OUT_FRAME_BYTES 32

#ifdef __cplusplus
}
#endif
