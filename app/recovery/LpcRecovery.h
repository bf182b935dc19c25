// Fingerprint and firmware recovery of an LPC17xx module through its ROM
// bootloader (app/recovery/NXPSerialClass.h).
//
// The recovery checks the whole image against the chip's flash before it
// touches the chip, erases all 30 sectors, then writes the firmware blocks in
// pieces of at most 4096 bytes through the RAM staging area. Pieces whose copy
// reaches into sector 0 (the vector table and its checksum word) go last, so
// a recovery cut short at any point leaves a chip whose ROM does not start
// the user code and stays in its bootloader, ready for another try.
#pragma once

#include "app/Updater.h"
#include "app/UpdaterDisplayInterface.h"
#include "app/firmware/BirdFile.h"

#include <cstdint>
#include <string>
#include <vector>

// The rate the fingerprint probe of a recovery runs at.
constexpr uint32_t LPC_PROBE_BAUD = 115200;

// One copy to flash: `length` bytes of the block's payload at `flash`,
// staged in RAM and copied with a copy length of `copyLength`.
struct LpcPiece
{
    size_t block = 0;   // 1-based number of the firmware block
    uint32_t flash = 0; // flash address of the piece
    const uint8_t* data = nullptr;
    uint32_t length = 0;     // payload bytes of the piece
    uint32_t copyLength = 0; // 256, 512, 1024 or 4096
};

struct LpcPlan
{
    std::vector<LpcPiece> pieces; // in writing order
    uint32_t blocks = 0;          // firmware blocks written
    std::vector<uint32_t> blockLengths;
    uint32_t totalBytes = 0;
    std::string problem; // why the image cannot go to this chip; empty when it can
};

// The pieces of the image's firmware blocks up to the first one whose payload
// is exactly 4 bytes (the end marker), in file order, except that blocks
// reaching into sector 0 come after the others and the pieces in sector 0
// come last of all.
LpcPlan _plan_lpc_recovery(const BirdFile& image);

// Words 0 to 7 of the vector table add up to 0 (modulo 2^32): the ROM starts
// such code after a reset.
bool _lpc_vector_table_valid(const uint8_t* table);

bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint);

// `chipBaud` is the rate the chip was synchronised at by the probe; when the
// rate asked for differs, the chip is switched to it first.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, std::string port,
                           uint32_t baud, Fingerprint& fingerprint,
                           uint32_t chipBaud = LPC_PROBE_BAUD);
