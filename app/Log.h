// Diagnostic trace, switched on per package by a 32-bit mask.
//
// Threads: the mask and the output stream are set by the main thread while
// the command line is read, before any other thread exists; afterwards every
// thread (download worker, link threads) only reads them. There is no lock:
// each line is handed to the stream in one call, which the C library
// serialises.
#pragma once

#include <cstdio>

enum LogPackage : unsigned
{
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network_Link = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log
{
public:
    static unsigned package_bitmask;
    static FILE* fh;
    static bool timestamped;
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;

    // Package 0 is always written; any other package only when it shares a
    // bit with the mask. At most 2047 characters, no newline added.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* out);
    static void ActivatePackage(unsigned bits);
    static void DeactivatePackage(unsigned bits);
};
