// TCP socket streams (platform interface, implemented in
// unix/unix_streamsocket.cpp).
//
// kxStream_CreateSocket (declared in kxStream.h) connects to an IPv4
// address and port with TCP_NODELAY, a zero linger time (closing resets the
// connection) and a non-blocking descriptor. The stream repairs itself: when a
// read or a write finds the connection lost (kxStreamSocket_IsLostConnection:
// broken, reset, unconnected or timed out), it closes the socket and connects
// again, transparently to the link. Only one reconnect runs at a time; a
// thread that finds the connection already replaced by the other thread uses
// the new one.
//
// `get` gives kxErrNotReady when no byte is waiting (also while the peer has
// closed its side) and kxErrConnection once a reconnect has failed.
// `write` retries for a bounded number of rounds (kxSOCKET_WRITE_ATTEMPTS; a
// round that sends some bytes starts the count again; a full socket is waited
// on for up to kxSOCKET_RETRY_SLEEP_MS per round, and rounds after a
// reconnect or a send error are that long apart) and then reports the
// failure: kxErrTimeout when the peer takes no more bytes, the reconnect's
// error when the connection could not be restored, kxErrIO after other send
// errors. A block is never split across connections: when the connection is
// replaced after part of a block went out, the whole block is sent again on
// the new one.
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

    // True for the errno values of a send or recv after which the stream gives
    // the connection up and connects again: EPIPE, ECONNRESET, ENOTCONN and
    // ETIMEDOUT.
    bool kxStreamSocket_IsLostConnection(int error);

#ifdef __cplusplus
}
#endif
