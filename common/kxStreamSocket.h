// TCP socket streams (platform interface, implemented in
// unix/unix_streamsocket.cpp).
//
// kxStream_CreateSocket (declared in kxStream.h) connects to an IPv4
// address and port with TCP_NODELAY, a zero linger time (closing resets the
// connection) and a non-blocking descriptor; the connection is waited for at
// most kxSOCKET_CONNECT_TIMEOUT_MS.
//
// `get` hands out one byte per call from what one recv brought in (up to
// kxSOCKET_INPUT_BYTES); when nothing is waiting it waits up to
// kxSOCKET_READ_WAIT_MS for the socket to become readable and then gives
// kxErrNotReady, so a reader polling an idle connection does not spin. When
// the reader finds that the peer has closed its side (an orderly close) or
// reset the connection, the connection ends: that read and every later read
// and write give kxErrConnection, and the stream never connects again (the
// module went away; whoever owns the stream builds a new one).
//
// `write` repairs the connection itself: a send that finds it lost
// (kxStreamSocket_IsLostConnection: broken, reset, unconnected or timed out)
// closes the socket and connects again, unless the reader has already ended
// it. Only one reconnect runs at a time; a thread that finds the connection
// already replaced by the other thread uses the new one. `write` retries for
// a bounded number of rounds (kxSOCKET_WRITE_ATTEMPTS; a round that sends some
// bytes starts the count again; a full socket is waited on for up to
// kxSOCKET_RETRY_SLEEP_MS per round, and rounds after a reconnect or a send
// error are that long apart) and then reports the failure: kxErrTimeout when
// the peer takes no more bytes, the reconnect's error when the connection
// could not be restored, kxErrIO after other send errors. A block is never
// split across connections: when the connection is replaced after part of a
// block went out, the whole block is sent again on the new one.
//
// Failure lines are printed to standard output as
// "Error in File; %s on line; %d, %s: %d\n" (module, line, text, errno).
#pragma once

#include <lumbrixon/kxStream.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxSOCKET_CHECK 0xDEAD
#define kxSOCKET_WRITE_ATTEMPTS 10
#define kxSOCKET_RETRY_SLEEP_MS 60
#define kxSOCKET_CONNECT_TIMEOUT_MS 3000
#define kxSOCKET_READ_WAIT_MS 50
#define kxSOCKET_INPUT_BYTES 4096

    // True for the errno values of a send or recv that mean the connection is
    // lost: EPIPE, ECONNRESET, ENOTCONN and ETIMEDOUT.
    bool kxStreamSocket_IsLostConnection(int error);

#ifdef __cplusplus
}
#endif
