#include "app/recovery/LpcRecovery.h"

#include "app/Log.h"
#include "app/recovery/NXPSerialClass.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr uint32_t _PIECE = 4096;
constexpr uint32_t _FLASH_END = 0x80000;
constexpr uint32_t _SECTOR0_END = 0x1000;
constexpr uint32_t _LAST_SECTOR = NXPSerialClass::SECTOR_COUNT - 1;

std::string _hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

bool _lpc_vector_table_valid(const uint8_t* table)
{
    uint32_t total = 0;
    for (int w = 0; w < 8; ++w)
    {
        total += static_cast<uint32_t>(table[4 * w]) |
                 static_cast<uint32_t>(table[4 * w + 1]) << 8 |
                 static_cast<uint32_t>(table[4 * w + 2]) << 16 |
                 static_cast<uint32_t>(table[4 * w + 3]) << 24;
    }
    return total == 0;
}

LpcPlan _plan_lpc_recovery(const BirdFile& image)
{
    LpcPlan plan;
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    // Pieces of blocks clear of sector 0, then the other pieces of blocks
    // that reach into it, then the pieces in sector 0.
    std::vector<LpcPiece> clear, early, late;
    for (size_t b = 0; b < blocks.size(); ++b)
    {
        const BirdBlock& block = blocks[b];
        std::string name = "firmware block " + std::to_string(b + 1);
        if (block.length < 4 || block.data == nullptr)
        {
            plan.problem = name + " is too short to hold its address";
            return plan;
        }
        uint32_t payload = block.length - 4;
        if (payload == 4)
        {
            break; // the end marker
        }
        ++plan.blocks;
        plan.blockLengths.push_back(payload);
        if (payload == 0)
        {
            continue;
        }
        if (block.address % 256 != 0)
        {
            plan.problem = name + " starts at " + _hex(block.address) +
                           ", which is not on a 256-byte boundary of the flash";
            return plan;
        }
        if (block.address >= _FLASH_END || payload > _FLASH_END - block.address)
        {
            plan.problem = name + " (" + std::to_string(payload) + " bytes at " +
                           _hex(block.address) + ") does not fit the chip's 512 KB flash";
            return plan;
        }
        if (block.address == 0 && payload >= 32 && !_lpc_vector_table_valid(block.data + 4))
        {
            plan.problem = "the vector table of " + name +
                           " has no valid checksum word: the image is not meant for this chip, "
                           "or it is damaged";
            return plan;
        }
        std::vector<LpcPiece> pieces;
        for (uint32_t done = 0; done < payload; done += _PIECE)
        {
            LpcPiece piece;
            piece.block = b + 1;
            piece.flash = block.address + done;
            piece.data = block.data + 4 + done;
            piece.length = std::min(_PIECE, payload - done);
            piece.copyLength = NXPSerialClass::CopyLength((piece.length + 3) / 4 * 4);
            if (static_cast<uint64_t>(piece.flash) + piece.copyLength > _FLASH_END)
            {
                plan.problem = name + " ends too close to the end of the flash for a copy of " +
                               std::to_string(piece.copyLength) + " bytes at " + _hex(piece.flash);
                return plan;
            }
            pieces.push_back(piece);
        }
        bool reaches = block.address < _SECTOR0_END;
        for (const LpcPiece& piece : pieces)
        {
            (!reaches ? clear : piece.flash < _SECTOR0_END ? late : early).push_back(piece);
        }
        plan.totalBytes += payload;
    }
    plan.pieces = clear;
    plan.pieces.insert(plan.pieces.end(), early.begin(), early.end());
    plan.pieces.insert(plan.pieces.end(), late.begin(), late.end());
    if (plan.pieces.empty())
    {
        plan.problem = "the image holds no firmware to write";
    }
    return plan;
}

bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint)
{
    NXPSerialClass isp;
    kxErr err = isp.Connect(port.c_str(), baud);
    if (err != kxErrNone)
    {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err != kxErrNone)
    {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
                 err);
        Log::log(DEBUG_APP, "\t%s\n", isp.LastProblem().c_str());
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    err = isp.GetDeviceID();
    if (err != kxErrNone)
    {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        Log::log(DEBUG_APP, "\t%s\n", isp.LastProblem().c_str());
        return false;
    }
    memcpy(fingerprint.words, isp.DeviceID(), sizeof fingerprint.words);
    return true;
}

namespace
{
// One failed step: the log line, then one error line for the user.
bool _refuse(UpdaterDisplayInterface& display, NXPSerialClass& isp, const char* logLine,
             const std::string& what)
{
    display.display_progress(false);
    Log::log(DEBUG_Network_Link, "%s", logLine);
    display.message(UpdaterDisplayInterface::Error, "Recovery failed: %s: %s", what.c_str(),
                    isp.LastProblem().c_str());
    return false;
}

// Stages one piece in RAM and copies it to flash. The piece is rounded up to
// whole words with 0xFF, and the rest of the copied range is filled with
// 0xFF in a second write, so nothing stale from RAM reaches the flash; every
// sector the copy touches is prepared.
bool _write_piece(UpdaterDisplayInterface& display, NXPSerialClass& isp, const LpcPiece& piece)
{
    std::vector<uint8_t> staged(piece.copyLength, 0xFF);
    memcpy(staged.data(), piece.data, piece.length);
    uint32_t rounded = (piece.length + 3) / 4 * 4;
    const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
    Log::log(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", piece.length,
             piece.flash);
    Log::log(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", rounded, ram);
    if (isp.Write(ram, rounded, staged.data()) != kxErrNone ||
        (rounded < piece.copyLength && isp.Write(ram + rounded, piece.copyLength - rounded,
                                                 staged.data() + rounded) != kxErrNone))
    {
        return _refuse(display, isp, "\t Write to RAM failed\n",
                       "writing to the chip's RAM for " + _hex(piece.flash));
    }
    uint32_t first = NXPSerialClass::SectorFromAddress(piece.flash);
    uint32_t last = NXPSerialClass::SectorFromAddress(piece.flash + piece.copyLength - 1);
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
    if (isp.Prepare(first, last) != kxErrNone)
    {
        return _refuse(display, isp, "\t Prepare failed\n",
                       "preparing sectors " + std::to_string(first) + " to " +
                           std::to_string(last));
    }
    Log::log(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", piece.copyLength, ram,
             piece.flash);
    if (isp.CopyToFlash(piece.flash, ram, piece.copyLength) != kxErrNone)
    {
        return _refuse(display, isp, "\t Transfer to flash failed\n",
                       "copying to flash at " + _hex(piece.flash));
    }
    return true;
}

} // namespace

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, std::string port,
                           uint32_t baud, Fingerprint&, uint32_t chipBaud)
{
    LpcPlan plan = _plan_lpc_recovery(image);
    if (!plan.problem.empty())
    {
        display.message(UpdaterDisplayInterface::Error, "Recovery refused: %s",
                        plan.problem.c_str());
        return false;
    }

    NXPSerialClass isp;
    uint32_t rate = NXPSerialClass::AcceptedRate(baud);
    if (isp.Connect(port.c_str(), chipBaud) != kxErrNone)
    {
        Log::log(DEBUG_Network_Link, "Could not connect to %s\n", port.c_str());
        display.message(UpdaterDisplayInterface::Error, "Recovery failed: could not open %s: %s",
                        port.c_str(), isp.LastProblem().c_str());
        return false;
    }
    // The chip keeps the rate it took during the probe: it is told the new
    // one before the port follows.
    if (rate != isp.Baud() && isp.SetBaudRate(rate) != kxErrNone)
    {
        return _refuse(display, isp, "Could not change the baud rate\n",
                       "switching the chip to " + std::to_string(rate) + " baud");
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != kxErrNone)
    {
        return _refuse(display, isp, "Could not unlock\n", "unlocking the flash");
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(0, _LAST_SECTOR) != kxErrNone)
    {
        return _refuse(display, isp, "Could not prepare\n", "preparing the flash for erasing");
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (isp.Erase(0, _LAST_SECTOR) != kxErrNone)
    {
        return _refuse(display, isp, "Could not erase\n", "erasing the flash");
    }
    if (isp.SetEcho(false) != kxErrNone)
    {
        // Echo left on only slows the data down.
        Log::log(DEBUG_Updater, "Could not switch the echo off: %s\n", isp.LastProblem().c_str());
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.path.c_str());

    std::vector<uint32_t> done(plan.blocks + 1, 0);
    size_t current = 0;
    for (size_t i = 0; i < plan.pieces.size(); ++i)
    {
        const LpcPiece& piece = plan.pieces[i];
        uint32_t length = plan.blockLengths[piece.block - 1];
        if (piece.block != current)
        {
            current = piece.block;
            display.message(UpdaterDisplayInterface::Info,
                            "Transferring firmware block %zu of %u, %u bytes", piece.block,
                            plan.blocks, length);
            display.display_progress(true);
            Log::log(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n",
                     length, piece.flash);
        }
        if (!_write_piece(display, isp, piece))
        {
            return false;
        }
        done[piece.block] += piece.length;
        display.update_progress(static_cast<double>(done[piece.block]) / length, nullptr);
        if (i + 1 == plan.pieces.size() || plan.pieces[i + 1].block != current)
        {
            display.display_progress(false);
        }
    }
    display.message(UpdaterDisplayInterface::Info, "Transferred %u blocks, %u total bytes",
                    plan.blocks, plan.totalBytes);

    kxErr err = isp.SetEcho(true);
    if (err != kxErrNone)
    {
        display.message(UpdaterDisplayInterface::Error,
                        "Recovery Error transfering data to device ==> [%u, %s]: %s", err,
                        kxError_GetErrorText(err), isp.LastProblem().c_str());
        return false;
    }
    display.message(UpdaterDisplayInterface::Info, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}
