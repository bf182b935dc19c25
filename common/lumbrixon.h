// The Lumbrixon device library: every public header.
//
// Programs include <lumbrixon/lumbrixon.h>, or the headers they use one by
// one as <lumbrixon/NAME.h>, and link liblumbrixon (pkg-config lumbrixon, or
// the CMake package Lumbrixon with Lumbrixon::lumbrixon).
//
// Records
// -------
// The library's plain functions work on opaque records allocated by their
// module. Every record begins with a 16-bit tag, set at creation and cleared
// when the record is freed, and every operation tests it before anything
// else, so a null pointer, a freed record or a record of another type is
// refused without being touched.
//
//   record          tag     created by                  destroyed by
//   kxPacket        0xBEEF  kxPacket_Create...          kxPacket_Destroy(&p)
//   kxStream        0x4321  kxStream_Create...          kxStream_Destroy(&s)
//   kxFileRef       0xFEED  kxFile_Open                 kxFile_Close(&f)
//   kxMutex         0xB0B5  kxMutex_Create              kxMutex_Destroy(&m)
//   kxCondition     0xC0D7  kxCondition_Create          kxCondition_Destroy(&c)
//   kxThread        0x7EAD  kxThread_Create             kxThread_Destroy(&t)
//   kxLogger        0xDEED  kxLogger_Create             kxLogger_Destroy(&l)
//   kxMulticast     0x3C3C  kxMulticast_Create          kxMulticast_Destroy(&m)
//   kxServer        0x5E4F  kxServer_Create             kxServer_Destroy(&s)
//   lxusb_device    0x05B0  lxusb_create_usb            lxusb_destroy(&u)
//   kxPacketLog     0x10C5  kxPacketLog_Create          kxPacketLog_Destroy(&l)
//   packet FIFO     (id)    kxPacketFifo_Create         kxPacketFifo_Destroy(&id)
//   link            (id)    kxLink_Create...            kxLink_Destroy(&id)
//
// The rule, for every record unless an exception below says otherwise:
//   - An operation given a null pointer or a record whose tag is not its own
//     does nothing and reports it: kxErrParam, or null, false or 0 where the
//     function returns a pointer, a truth value or a count.
//   - Destroy takes the address of the caller's pointer. A null address gives
//     kxErrParam. Otherwise the caller's pointer is set to null in every case:
//     after freeing the record, and also when the pointer was null or the
//     record not one of this type (kxErrParam; nothing is freed).
//
// Exceptions, each fixed by the record's own interface:
//   - kxPacket: the field getters answer an invalid packet with kxErrPacket
//     (kxErrParam is kept for a null output pointer); the kxUEI_ helpers give
//     0 or false, and kxUEI_isUEIPayload, the negation, gives true.
//   - kxThread_Destroy returns the system's join status (an errno value, not
//     a kxErr): EINVAL for a null address or an invalid thread, whose pointer
//     is set to null all the same.
//   - kxLogger_Destroy ignores a null address or an invalid logger with
//     kxErrNone and leaves the caller's pointer as it is.
//   - kxMulticast returns counts: -2 for a null or invalid socket (destroy
//     included, which sets the pointer to null all the same).
//   - Packet FIFOs are named by identifiers, never by pointers: 0 is never a
//     FIFO, and an unknown identifier behaves as an empty FIFO (null packet,
//     length 0, kxErrParam for a put). Destroy gives kxErrParam for a null
//     address and kxErrNotFound for an unknown identifier, which it leaves as
//     it is; only a destroyed FIFO's identifier is set to 0.
//   - Links are named by registry identifiers too (the link record 0xCEED
//     stays inside the library; kxLink_Stop refuses another with kxErrParam):
//     0 is never a link, an unknown identifier gets kxErrParam (null, 0 or
//     kLinkStatusInvalid where the function returns a packet, a count or a
//     status). kxLink_Destroy gives kxErrParam for a null address, and for an
//     unknown identifier, which it sets to 0 as it does every identifier it
//     is given.
//   - linkSpec (discover.h) is a public 128-byte record whose bytes are a
//     wire format, so it has no tag: kxLinkSpec_Destroy gives kxErrParam for
//     a null address or a null specifier, and the searches find nothing for a
//     null callback.
//
// The streams' implementation states (serial 0xBEEF, socket 0xDEAD, USB
// 0xDEAD, COBS 0xC0B5, client 0xC11E) carry tags too; they are reached only through their
// stream, whose operations refuse a state of another kind with kxErrParam.
//
// Threads: a record may be used from several threads only as its header says;
// no record may be destroyed while another thread uses it, except a packet
// FIFO, whose identifiers make that safe.
#pragma once

#include <lumbrixon/cobs.h>
#include <lumbrixon/crc8.h>
#include <lumbrixon/discover.h>
#include <lumbrixon/kxDefs.h>
#include <lumbrixon/kxDirectory.h>
#include <lumbrixon/kxError.h>
#include <lumbrixon/kxFile.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxLogger.h>
#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxMutex.h>
#include <lumbrixon/kxPacket.h>
#include <lumbrixon/kxPacketLog.h>
#include <lumbrixon/kxPortClaim.h>
#include <lumbrixon/kxProcess.h>
#include <lumbrixon/kxServer_ZeroMQ.h>
#include <lumbrixon/kxStream.h>
#include <lumbrixon/kxStreamSerial.h>
#include <lumbrixon/kxStreamSocket.h>
#include <lumbrixon/kxStreamUSB.h>
#include <lumbrixon/kxStream_CobsEncoding.h>
#include <lumbrixon/kxStream_ZeroMQClient.h>
#include <lumbrixon/kxThread.h>
#include <lumbrixon/kxTime.h>
#include <lumbrixon/kxUEI.h>
#include <lumbrixon/kxVersion.h>
#include <lumbrixon/lxusb_driver.h>
#include <lumbrixon/packetfifo.h>
#include <lumbrixon/zBeaconInterface.h>
#ifdef __cplusplus
#include <lumbrixon/Entity.h>
#include <lumbrixon/Link.h>
#include <lumbrixon/Module.h>
#endif
