// birdtool: makes and inspects BIRD firmware files.
#include "app/firmware/BirdFile.h"
#include "BirdPack.h"

#include <cstdio>
#include <cstring>
#include <zlib.h>
#include <fstream>
#include <iterator>
#include <string>

namespace
{
const char* const kHelp =
    "Usage: birdtool pack MANIFEST -o FILE.bird\n"
    "       birdtool info FILE.bird\n"
    "       birdtool dump FILE.bird TYPE\n"
    "       birdtool --help\n"
    "\n"
    "pack   builds a BIRD file from a manifest. Each line is one statement; blocks\n"
    "       are written in the order of the lines; '#' starts a comment.\n"
    "         block TYPE [flags=0-7] [address=ADDR] hex=AABBCC | file=PATH\n"
    "             TYPE 0 loader, 1 firmware (both take address=, default 0),\n"
    "             2..31 any other block; PATH is relative to the manifest\n"
    "         info build=N version=TEXT serial=HEX8 model=TEXT   ('_' in model is a space)\n"
    "         offsets serial=ADDR descriptor=ADDR\n"
    "         entry ADDR\n"
    "         key W0 W1 W2 W3     scramble firmware payloads for the chip with this key\n"
    "       Numbers may be decimal or 0x-prefixed hexadecimal.\n"
    "       The image ends with a checksum: the CRC-32 (zlib crc32) of every image\n"
    "       byte before it. The file is \"bird\", version 0x0101, then the image\n"
    "       compressed as one zlib stream.\n"
    "info   prints the header, every block (type, flags, length, address), the\n"
    "       identity fields and the serial-number offsets.\n"
    "dump   prints the blocks of one type as a hex dump.\n"
    "\n"
    "Exit status: 0 on success, 1 on bad input.\n";

int _usage_error(const char* why)
{
    fprintf(stderr, "birdtool: %s\nTry 'birdtool --help'.\n", why);
    return 1;
}

int _pack(int argc, char** argv)
{
    std::string manifestPath, outPath;
    for (int i = 0; i < argc; ++i)
    {
        if (strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            outPath = argv[++i];
        else if (manifestPath.empty())
            manifestPath = argv[i];
        else
            return _usage_error("pack takes one manifest");
    }
    if (manifestPath.empty() || outPath.empty())
        return _usage_error("pack needs MANIFEST and -o FILE");
    std::ifstream in(manifestPath);
    if (!in)
    {
        fprintf(stderr, "birdtool: cannot read manifest %s\n", manifestPath.c_str());
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t slash = manifestPath.rfind('/');
    std::string base = slash == std::string::npos ? "." : manifestPath.substr(0, slash);
    BirdManifest manifest;
    std::string error;
    if (!BirdPack_ParseManifest(text, base, manifest, error))
    {
        fprintf(stderr, "birdtool: %s: %s\n", manifestPath.c_str(), error.c_str());
        return 1;
    }
    std::vector<uint8_t> image = BirdPack_Image(manifest);
    std::vector<uint8_t> bytes = BirdPack_FileFromImage(image, manifest.formatVersion);
    // The loaders inflate into a buffer of a fixed multiple of the compressed
    // size; an image that needs more would be written and then refused.
    if (!bytes.empty() &&
        uint64_t(image.size()) > uint64_t(bytes.size() - 6) * BirdFile::INFLATE_LIMIT_FACTOR)
    {
        fprintf(stderr,
                "birdtool: %s: the image inflates to %zu bytes, more than %u times its %zu "
                "compressed bytes; loaders refuse such a file, so it is not written\n",
                manifestPath.c_str(), image.size(), BirdFile::INFLATE_LIMIT_FACTOR,
                bytes.size() - 6);
        return 1;
    }
    if (bytes.empty() || !BirdPack_WriteFile(outPath, bytes))
    {
        fprintf(stderr, "birdtool: cannot write %s\n", outPath.c_str());
        return 1;
    }
    return 0;
}

bool _load(const char* path, BirdFile& bird)
{
    if (!BirdFile::VerifyFile(path))
    {
        fprintf(stderr, "birdtool: %s is not a BIRD file\n", path);
        return false;
    }
    bird.path = path;
    if (!bird.Load())
    {
        fprintf(stderr, "birdtool: %s does not inflate\n", path);
        return false;
    }
    return true;
}

int _info(const char* path)
{
    BirdFile bird;
    if (!_load(path, bird))
        return 1;
    printf("file:       %s\n", path);
    printf("signature:  %08X\n", bird.signature);
    printf("version:    %04X\n", bird.version);
    printf("image:      %u bytes, %u blocks, checksum %08X\n", bird.dataSize, bird.blockCount,
           bird.checksum);
    int index = 0;
    for (const BirdBlock& b : bird.blocks)
        printf("block %-3d  type %2u  flags %u  length %8u  address %08X\n", index++, b.type,
               b.flags, b.length, b.address);
    if (!bird.FindBlocks(BirdFile::BLOCK_INFO).empty())
        printf("identity:   build %u  version %s  serial %08X  model %s\n", bird.GetBuild(),
               bird.GetVersion().c_str(), bird.GetSerialNumber(), bird.GetModel().c_str());
    if (bird.personalisable)
        printf("offsets:    serial number %08X  descriptor %08X\n", bird.serialNumberOffset,
               bird.descriptorOffset);
    if (!bird.scanProblem.empty())
    {
        fprintf(stderr, "birdtool: %s is broken: %s\n", path, bird.scanProblem.c_str());
        return 1;
    }
    // Images made elsewhere need not carry the checksum this tool writes.
    uLong crc = crc32(0L, Z_NULL, 0);
    if (bird.dataSize >= 4)
        crc = crc32(crc, bird.data.get(), bird.dataSize - 4);
    if (crc != bird.checksum)
        fprintf(stderr,
                "birdtool: warning: %s: file checksum %08X does not match the image's CRC-32 "
                "%08lX\n",
                path, bird.checksum, static_cast<unsigned long>(crc));
    return 0;
}

int _dump(const char* path, const char* typeText)
{
    char* end = nullptr;
    unsigned long type = strtoul(typeText, &end, 0);
    if (!*typeText || *end || type > 31)
        return _usage_error("TYPE must be a number from 0 to 31");
    BirdFile bird;
    if (!_load(path, bird))
        return 1;
    bird.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return _usage_error("no command");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help")
    {
        fputs(kHelp, stdout);
        return 0;
    }
    if (command == "pack")
        return _pack(argc - 2, argv + 2);
    if (command == "info" && argc == 3)
        return _info(argv[2]);
    if (command == "dump" && argc == 4)
        return _dump(argv[2], argv[3]);
    return _usage_error(("bad command line for '" + command + "'").c_str());
}
