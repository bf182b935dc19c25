// Feeds arbitrary file bytes to the BIRD loader and exercises every query on
// what it scanned; the check that inflates piece by piece must agree with it.
#include "app/firmware/BirdFile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    BirdFile bird;
    // The piecewise check must give the loader's verdict.
    const bool checked = BirdFile::CheckBytes(bytes, size);
    const bool loaded = bird.LoadBytes(bytes, size);
    if (checked != loaded)
        __builtin_trap();
    if (!loaded)
        return 0;
    const unsigned char pattern[] = {0x00, 0x10};
    bird.ValidateData(pattern, sizeof pattern);
    bird.GetBuild();
    bird.GetSerialNumber();
    bird.GetVersion();
    bird.ValidateModel("LX");
    bird.ReplaceSerialNumber(0x40F5849A);
    bird.ReplaceVectorChecksum();
    const unsigned int key[4] = {1, 2, 3, 4};
    bird.DecodeFirmwareBlocks(key);
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
        if (block.length && (block.data < bird.data.get() ||
                             block.data + block.length > bird.data.get() + bird.dataSize))
            __builtin_trap();
    return 0;
}
