// Writes a small seed corpus of BIRD files for the loader's fuzz target.
#include "tools/birdtool/BirdPack.h"

#include <cstdio>
#include <string>
#include <filesystem>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: bird_seeds DIR\n");
        return 1;
    }
    std::string dir = argv[1];
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    std::vector<uint8_t> words(64);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = uint8_t(i * 13);

    BirdManifest full;
    full.blocks.push_back(BirdPack_AddressBlock(0, 1, 0x10000000, words));
    full.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, words));
    full.blocks.push_back(BirdPack_InfoBlock(1234, "2.10.3", 0x40F5849A, "LX-IO8"));
    full.blocks.push_back(BirdPack_OffsetsBlock(0x10, 0x20));
    full.blocks.push_back(BirdPack_EntryBlock(0x20000400));

    BirdManifest scrambled = full;
    scrambled.key = std::vector<uint32_t>{1, 2, 3, 4};

    BirdManifest miscounted = full;
    miscounted.declaredCount = 9;

    BirdManifest empty;

    bool ok = BirdPack_WriteFile(dir + "/full.bird", BirdPack_File(full)) &&
              BirdPack_WriteFile(dir + "/scrambled.bird", BirdPack_File(scrambled)) &&
              BirdPack_WriteFile(dir + "/miscounted.bird", BirdPack_File(miscounted)) &&
              BirdPack_WriteFile(dir + "/empty.bird", BirdPack_File(empty));
    return ok ? 0 : 1;
}
