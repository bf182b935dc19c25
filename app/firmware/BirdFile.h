// BIRD firmware images: a "bird" signature, a format version and one zlib
// stream holding the block records (loader, firmware, identity, serial-number
// offsets, entry address). A BirdFile reads an image whole, inflates it and
// answers queries on its blocks; changes it makes stay in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One parsed block. `data` points into the owning BirdFile's image.
struct BirdBlock
{
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0;
    unsigned char* data = nullptr;
};

class BirdFile
{
public:
    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    enum BLOCK_TYPE
    {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_RESERVED = 3,
        BLOCK_INFO = 4,
        BLOCK_ENTRY_ADDRESS = 5,
    };

    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data").
    explicit BirdFile(const char* path);
    BirdFile(BirdFile&&) = default;
    BirdFile& operator=(BirdFile&&) = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    bool Load();
    // Everything Load does after reading the file, on the file's bytes.
    bool LoadBytes(const unsigned char* file, size_t size);
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    bool ScanBlocks(const unsigned char* image, unsigned int size);
    bool DecompressData(const unsigned char* src, unsigned long srcLen);
    bool DumpBlocks(BLOCK_TYPE type) const;
    bool ValidateData(const unsigned char* pattern, unsigned int count) const;

    bool FindSerialNumberOffsets();
    bool ReplaceSerialNumber(unsigned int serialNumber);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const unsigned int* key);
    unsigned int GetSerialNumber() const;
    unsigned int GetBuild() const;
    std::string GetVersion() const;
    std::string GetModel() const;
    bool ValidateSerialNumber(unsigned int serialNumber) const;
    bool ValidateModel(const char* model) const;
    static bool VerifyFile(const char* path);
    // The quick check of VerifyFile on the first bytes of an image in memory.
    static bool VerifyHeader(const unsigned char* file, size_t size);
    // Whether LoadBytes would load these file bytes (its stream inflates, to
    // at most the loader's limit), found without keeping the image: it is
    // inflated piece by piece through a small buffer. On false, *why (when
    // given) says what is wrong.
    static bool CheckBytes(const unsigned char* file, size_t size, std::string* why = nullptr);
    // The most an image may inflate to: this many times its compressed size.
    static constexpr unsigned INFLATE_LIMIT_FACTOR = 8;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool personalisable = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<unsigned char[]> data;
    uint32_t dataSize = 0;
    // Empty when the last scan found the records as declared; otherwise what
    // did not match (the blocks found are kept either way).
    std::string scanProblem;

private:
    // The identity block's 16-byte field at `offset`, or null when absent.
    const unsigned char* _info_field(unsigned offset) const;
};
