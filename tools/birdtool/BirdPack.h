// Builds BIRD firmware images: block records, an identity block, the
// serial-number offsets and entry-address blocks, optional scrambling of the
// firmware payloads for one chip, and the file around them.
//
// The image's closing checksum is the CRC-32 (zlib's crc32, the ISO-HDLC
// CRC) of every image byte before it. The tool only writes it; loaders read
// it without checking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct BirdPackBlock
{
    uint8_t type = 1;
    uint8_t flags = 0;
    // The record's data; for loader and firmware blocks it starts with the
    // big-endian load address.
    std::vector<uint8_t> data;
};

struct BirdManifest
{
    std::vector<BirdPackBlock> blocks;
    // Scrambles firmware payloads with this chip key when set.
    std::optional<std::vector<uint32_t>> key;
    // For malformed test images: the block count written, if not the real one.
    std::optional<uint32_t> declaredCount;
    uint16_t formatVersion = 0x0101;
};

BirdPackBlock BirdPack_AddressBlock(uint8_t type, uint8_t flags, uint32_t address,
                                    const std::vector<uint8_t>& payload);
// Build, version, serial number (8 hex digits) and model, space padded.
BirdPackBlock BirdPack_InfoBlock(uint32_t build, const std::string& version, uint32_t serial,
                                 const std::string& model);
BirdPackBlock BirdPack_InfoBlockText(const std::string& build, const std::string& version,
                                     const std::string& serial, const std::string& model);
BirdPackBlock BirdPack_OffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress);
BirdPackBlock BirdPack_EntryBlock(uint32_t address);

// scrambled = plain ^ K[k] ^ previous plain byte, K the key words' bytes most
// significant first, k running modulo 16 from 0 in each block.
void BirdPack_Scramble(std::vector<uint8_t>& payload, const std::vector<uint32_t>& key);

// The inflated image: block count, records, checksum.
std::vector<uint8_t> BirdPack_Image(const BirdManifest& manifest);
// "bird", the format version and the zlib-compressed image.
std::vector<uint8_t> BirdPack_FileFromImage(const std::vector<uint8_t>& image,
                                            uint16_t formatVersion = 0x0101);
std::vector<uint8_t> BirdPack_File(const BirdManifest& manifest);
uint32_t BirdPack_Checksum(const std::vector<uint8_t>& imageWithoutChecksum);

// Reads a manifest text (see birdtool --help); payload files are relative to
// baseDir. False with a message naming the line on error.
bool BirdPack_ParseManifest(const std::string& text, const std::string& baseDir,
                            BirdManifest& manifest, std::string& error);

bool BirdPack_WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
