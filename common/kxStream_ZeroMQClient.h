// The client stream: a byte stream to a device server (the server that shares
// a device link with other processes) over ZeroMQ.
//
// kxStream_CreateClient connects a DEALER socket to the server's frontend at
// an IPv4 address (network byte order) and port. ZeroMQ connects lazily:
// creation succeeds also when nobody listens yet, and reads then simply find
// nothing. Every frame from the server (one packet's wire form, or a batch of
// them back to back) is handed out byte by byte, in order; every block
// written goes out as one frame. A broker actor thread moves the frames
// between the network socket and two loopback socket pairs, so that reading,
// writing and the network socket are each used by one thread only.
//
// Results of kxStream_CreateClient: kxErrParam for a null output; kxErrMemory
// when the state, a socket or the poller cannot be made; kxErrConnection when
// a loopback pair or the frontend cannot be bound or connected; kxErrResource
// when the broker or the stream record cannot be made.
//
// `get`: when no frame is pending, waits up to kxCLIENT_READ_WAIT_MS for one
// (kxErrNotReady when none came, kxErrUnknown when the wait was interrupted,
// kxErrIO when receiving failed, kxErrIndexRange for an empty frame).
// `put` is not supported (kxErrUnimplemented): the link writes blocks.
// `write` queues the block as one frame without blocking, retrying up to
// kxCLIENT_WRITE_ATTEMPTS times 1 ms apart, and reports kxErrWrite when it
// could not be queued.
// Destroying the stream stops the broker and closes the sockets.
//
// If the process is interrupted (Ctrl+C) while CZMQ's own signal handling is
// in place, the broker hands the interrupt on to the handlers that were there
// before CZMQ's, once, so that the application sees it.
//
// Threads: one thread reads (get) while another writes (write).
#pragma once

#include <lumbrixon/kxStream.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxCLIENT_CHECK 0xC11E
#define kxCLIENT_READ_WAIT_MS 1000
#define kxCLIENT_BROKER_WAIT_MS 1000
#define kxCLIENT_WRITE_ATTEMPTS 100

    kxErr kxStream_CreateClient(uint32_t address, uint16_t port, kxStream** stream);

#ifdef __cplusplus
}
#endif
