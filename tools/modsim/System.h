// The system entity (command 3, index 0), the module-wide queries and the
// test entity.
//
// System options (type; RO read-only, SO set-only, RW, call):
//   1 module address (byte RO)     2 router address (byte RW)
//   3 heartbeat interval (byte RW) 4 LED (byte RW)          6 boot slot (byte RW)
//   7 firmware version (int RO, the packed word of Version.h)
//   8 model (byte RO)              9 serial number (int RO)
//  10 save (call)                 11 reset (call: fires the event "reset")
//  12 input voltage (int RO)      13 hardware offset (byte RO)
//  14 base address (byte RO)      15 software offset (byte RW)
//  16 router address setting (byte RO)
//  20 route to me (byte SO: 1 makes the link it came on the one the modules
//     behind a router answer on, 0 ends that; Router.h)
//  21 input current, 22 uptime in seconds, 23 maximum temperature (int RO)
//  24 log events (call)           25, 26 unregulated voltage, current (int RO)
//  27, 28 temperature, minimum temperature (int RO)
//  29 input power source (byte RO) 30 input power behaviour (byte RW)
//  31 input power behaviour configuration (bytes RW, up to 64)
//  32 name (bytes RW, up to 32; only from firmware 2.10.4 on: older firmware
//     has no such option and refuses it with InvalidOption)
//  33 power limit, 35 power limit state (int RO)  34 power limit maximum (int RW)
//  37 reset to factory defaults (call) 38 link interface (byte RW)
//  40 hardware version, 41 errors (int RO)  42 LED maximum brightness (byte RW)
//  43 build (int RO)              45 protocol features (int RO)
// Version, model, serial number, build and name come from the module's
// identity (ModuleCore::identity()), so they follow it when it changes.
//
// Module queries (not UEI traffic):
//   debug  23, bytes...  ->  23, the same bytes
//   info   73, 1, C, O, I, DIR  ->  73, 1, C, O, I, RESULT (0: the module has
//          that UEI in that direction: 0x40 get, 0x80 set, 0 either; else the
//          code a request would be refused with)
//          73, 4, C  ->  73, 4, C, number of entities of class C
//          73, 5, C, I  ->  73, 5, C, I, number of options of entity C/I
//          73, 6, C, I  ->  73, 6, C, I, the entity's group
//          73, FF  ->  73, FF, build (4 bytes, most significant first); with
//          ModuleConfig::buildReplyLength other than 6 the answer is cut short
//          or padded with zeros to that many data bytes
//   store  UEI sets of entity 92/0: option 0 saves, 1 resets to the defaults,
//          2 loads the values of the entity named by the int value's low 16
//          bits (command in the high byte, index in the low one)
//
// The test entity (command 0x20, index 0) has a value of every kind:
//   1 byte RW 11   2 short RW 2222   3 int RW 33333333
//   4 bytes RW 00 01 .. 09 (up to 1024)   5 int RO 55555555
//   6 int RW with sub-indices 0-3 (60000000 00000061 00000062 00000063)
//   7 call, answered 300 ms later; counts into 8 (int RO)
//   9 short RO streamed every 50 ms, 1 more each sample
//  10 bytes RO, 100 bytes (3 * i mod 256: five segments)
//  11 byte RW, sub-indices 0-3 (10 11 12 13)  12 short RW, sub-indices 0-3
//  13 byte RW answered 1500 ms late (after a host stopped waiting)
//  14 int RW streamed every 20 ms, 1 more each sample
#pragma once

namespace modsim
{

class Firmware;

void installSystem(Firmware& firmware);
void installTestEntity(Firmware& firmware);

} // namespace modsim
