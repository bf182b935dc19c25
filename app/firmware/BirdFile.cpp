#include "app/firmware/BirdFile.h"

#include "app/Log.h"
#include <lumbrixon/kxFile.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <zlib.h>

namespace
{
uint32_t _be32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint32_t _le32(const unsigned char* p)
{
    return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

void _store_le32(unsigned char* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Whether a firmware block's payload holds `size` bytes from device address `at`.
bool _payload_holds(const BirdBlock& block, uint32_t at, uint32_t size)
{
    if (block.length < 4)
        return false;
    uint64_t end = uint64_t(block.address) + block.length - 4;
    return at >= block.address && uint64_t(at) + size <= end;
}

unsigned char* _at_address(const BirdBlock& block, uint32_t at)
{
    return block.data + (at - block.address) + 4;
}
} // namespace

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "")
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::Load()
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!kxFile_Exists(path.c_str()))
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    kxFileRef file = kxFile_Open(path.c_str(), kxFileRead);
    if (!file)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint64_t size = 0;
    kxErr rc = kxFile_GetSize(file, &size);
    if (rc != kxErrNone)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(rc),
                 path.c_str());
        kxFile_Close(&file);
        return false;
    }
    std::vector<unsigned char> bytes(size);
    size_t got = 0;
    rc = size ? kxFile_Read(file, bytes.data(), bytes.size(), &got) : kxErr(kxErrNone);
    kxFile_Close(&file);
    bool readOk = true;
    if (rc != kxErrNone)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(rc), path.c_str());
        readOk = false;
    }
    else if (got < size)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), got, size_t(size));
        readOk = false;
    }
    if (!readOk)
        return false;
    return LoadBytes(bytes.data(), bytes.size());
}

bool BirdFile::LoadBytes(const unsigned char* file, size_t size)
{
    // Nothing of an earlier load survives: its blocks point into the image
    // that inflating replaces.
    signature = 0;
    version = 0;
    checksum = 0;
    personalisable = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    bool loaded = false;
    if (size > 6)
    {
        signature = _be32(file);
        version = (uint32_t(file[4]) << 8) | file[5];
    }
    if (size >= 6 && DecompressData(file + 6, size - 6))
    {
        ScanBlocks(data.get(), dataSize);
        FindSerialNumberOffsets();
        loaded = true;
    }
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty())
    {
        personalisable = true;
        FindSerialNumberOffsets();
    }
    return loaded;
}

bool BirdFile::CheckBytes(const unsigned char* file, size_t size, std::string* why)
{
    auto fail = [why](const std::string& text)
    {
        if (why != nullptr)
            *why = text;
        return false;
    };
    if (file == nullptr || size < 6)
        return fail("the file is shorter than its 6-byte header");
    const uint64_t compressed = size - 6;
    const uint64_t limit = compressed * INFLATE_LIMIT_FACTOR;
    if (limit > 0xFFFFFFFFu)
        return fail("the compressed image is too large to load");
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return fail("zlib cannot be set up");
    unsigned char piece[64 * 1024];
    const unsigned char* next = file + 6;
    uint64_t left = compressed;
    uint64_t inflated = 0;
    int rc = Z_OK;
    while (rc == Z_OK)
    {
        if (stream.avail_in == 0 && left > 0)
        {
            stream.next_in = const_cast<unsigned char*>(next);
            stream.avail_in = uInt(left > (1u << 30) ? (1u << 30) : left);
            next += stream.avail_in;
            left -= stream.avail_in;
        }
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
        rc = inflate(&stream, Z_NO_FLUSH);
        inflated += sizeof piece - stream.avail_out;
        if (inflated > limit)
        {
            inflateEnd(&stream);
            return fail("the image inflates to more than " + std::to_string(INFLATE_LIMIT_FACTOR) +
                        " times its compressed size, more than a loader accepts");
        }
        if (rc == Z_BUF_ERROR && stream.avail_in == 0 && left == 0)
            rc = Z_DATA_ERROR;
        else if (rc == Z_BUF_ERROR)
            rc = Z_OK;
    }
    inflateEnd(&stream);
    if (rc != Z_STREAM_END)
        return fail("the compressed image does not inflate (zlib error " + std::to_string(rc) +
                    ")");
    return true;
}

bool BirdFile::DecompressData(const unsigned char* src, unsigned long srcLen)
{
    uint64_t capacity = uint64_t(srcLen) * 8;
    blocks.clear();
    blockCount = 0;
    if (capacity > 0xFFFFFFFFu)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        dataSize = 0;
        return false;
    }
    dataSize = uint32_t(capacity);
    data.reset(new unsigned char[dataSize ? dataSize : 1]);
    uLongf length = dataSize;
    int rc = uncompress(data.get(), &length, src, srcLen);
    if (rc != Z_OK)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        dataSize = 0;
        return false;
    }
    dataSize = uint32_t(length);
    return true;
}

bool BirdFile::ScanBlocks(const unsigned char* image, unsigned int size)
{
    blocks.clear();
    blockCount = 0;
    scanProblem.clear();
    if (!image || size < 4)
    {
        scanProblem =
            "the image holds " + std::to_string(size) + " bytes, too few for its block count";
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(size));
        return false;
    }
    uint32_t declared = _be32(image);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // The image is owned by this object when it is ours; blocks point into it.
    unsigned char* base = const_cast<unsigned char*>(image);
    uint64_t remaining = size - 4;
    uint64_t cursor = 4;
    bool truncated = false;
    while (remaining > 4)
    {
        uint8_t typeFlags = base[cursor];
        uint32_t length = _be32(base + cursor + 1);
        // A block must leave room for itself and the checksum after it.
        if (uint64_t(length) + 5 + 4 > remaining)
        {
            truncated = true;
            break;
        }
        BirdBlock block;
        block.type = typeFlags & BIRD_FILE_TYPE_MASK;
        block.flags = (typeFlags & BIRD_FILE_FLAG_MASK) >> 5;
        block.length = length;
        block.data = base + cursor + 5;
        block.address = (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && length >= 4
                            ? _be32(block.data)
                            : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(length));
        if (block.type == BLOCK_INFO)
            for (unsigned offset = 0; offset + 16 <= length && offset < 64; offset += 16)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + offset));
        cursor += 5 + uint64_t(length);
        remaining -= 5 + uint64_t(length);
        ++blockCount;
        blocks.push_back(block);
    }
    if (truncated)
    {
        scanProblem = "block " + std::to_string(blockCount) + " at image offset " +
                      std::to_string(cursor) + " claims " +
                      std::to_string(_be32(base + cursor + 1)) + " bytes, but only " +
                      std::to_string(remaining) + " bytes remain before the end of the image";
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        return false;
    }
    if (remaining >= 4)
    {
        checksum = _be32(base + cursor);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        remaining -= 4;
    }
    else
    {
        scanProblem = "the image ends without its 4-byte file checksum";
    }
    if (remaining > 0)
    {
        if (scanProblem.empty())
            scanProblem = std::to_string(remaining) + " bytes follow the file checksum";
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        return false;
    }
    if (!scanProblem.empty())
        return false;
    if (blockCount != declared)
    {
        scanProblem = "the image declares " + std::to_string(declared) + " blocks but holds " +
                      std::to_string(blockCount);
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(declared));
        return false;
    }
    return true;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : FindBlocks(type))
    {
        std::string text;
        for (uint32_t i = 0; i < block.length; ++i)
        {
            if (i % 50 == 0)
            {
                printf(" %s\r\n%06d: ", text.c_str(), int(i));
                text.clear();
            }
            unsigned char byte = block.data[i];
            text += isprint(byte) ? char(byte) : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}

bool BirdFile::ValidateData(const unsigned char* pattern, unsigned int count) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    for (const BirdBlock& block : FindBlocks(BLOCK_FIRMWARE))
    {
        // The last start index that leaves room for the whole pattern counts.
        int64_t last = int64_t(block.length) - int64_t(count);
        for (int64_t i = 0; i <= last; ++i)
            if (memcmp(block.data + i, pattern, count) == 0)
            {
                Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
                found = true;
            }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::FindSerialNumberOffsets()
{
    if (blockCount == 0)
        return false;
    std::vector<BirdBlock> offsets = FindBlocks(BLOCK_SERIAL_OFFSETS);
    if (offsets.empty() || !offsets[0].data || offsets[0].length < 8)
        return false;
    serialNumberOffset = _be32(offsets[0].data);
    descriptorOffset = _be32(offsets[0].data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int(serialNumberOffset), int(descriptorOffset));
    return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serialNumber)
{
    char digits[9];
    snprintf(digits, sizeof digits, "%08X", serialNumber);
    bool result = false;
    for (BirdBlock& block : blocks)
    {
        if (block.type != BLOCK_FIRMWARE)
            continue;
        if (serialNumberOffset != 0)
        {
            result = true;
            if (_payload_holds(block, serialNumberOffset, 4))
            {
                unsigned char* word = _at_address(block, serialNumberOffset);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         _le32(word), serialNumber);
                _store_le32(word, serialNumber);
            }
        }
        if (descriptorOffset != 0 && _payload_holds(block, descriptorOffset, 16))
        {
            unsigned char* chars = _at_address(block, descriptorOffset);
            for (int i = 0; i < 8; ++i)
                chars[2 * i] = static_cast<unsigned char>(digits[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (BirdBlock& block : blocks)
    {
        if (block.type != BLOCK_FIRMWARE || block.address != 0 || block.length < 4 + 32)
            continue;
        const unsigned char* payload = block.data + 4;
        // The LPC17xx boot ROM accepts user code when words 0 to 7 of the
        // vector table add up to zero.
        uint32_t sum = 0;
        for (int w = 0; w < 7; ++w)
            sum += _le32(payload + 4 * w);
        uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 _le32(payload + 28), value);
        _store_le32(block.data + 4 + 28, value);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key)
{
    unsigned char k[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            k[4 * w + b] = static_cast<unsigned char>(key[w] >> (24 - 8 * b));
    for (BirdBlock& block : blocks)
    {
        if (block.type != BLOCK_FIRMWARE || block.length <= 4)
            continue;
        unsigned char previous = 0;
        unsigned char* payload = block.data + 4;
        for (uint32_t i = 0; i < block.length - 4; ++i)
        {
            unsigned char plain = payload[i] ^ k[i % 16] ^ previous;
            payload[i] = plain;
            previous = plain;
        }
    }
    return true;
}

const unsigned char* BirdFile::_info_field(unsigned offset) const
{
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_INFO)
            return block.data && offset + 16 <= block.length ? block.data + offset : nullptr;
    return nullptr;
}

unsigned int BirdFile::GetSerialNumber() const
{
    const unsigned char* field = _info_field(32);
    unsigned int value = 0;
    for (int i = 0; field && i < 8 && isxdigit(field[i]); ++i)
        value = value * 16 +
                unsigned(isdigit(field[i]) ? field[i] - '0' : (toupper(field[i]) - 'A' + 10));
    return value;
}

unsigned int BirdFile::GetBuild() const
{
    const unsigned char* field = _info_field(0);
    unsigned int value = 0;
    for (int i = 0; field && i < 15 && isdigit(field[i]); ++i)
        value = value * 10 + unsigned(field[i] - '0');
    return value;
}

std::string BirdFile::GetVersion() const
{
    const unsigned char* field = _info_field(16);
    std::string text;
    for (int i = 0; field && i < 15 && field[i] != ' ' && field[i] != '\0'; ++i)
        text += char(field[i]);
    return text;
}

std::string BirdFile::GetModel() const
{
    const unsigned char* field = _info_field(48);
    if (!field)
        return "";
    std::string text(reinterpret_cast<const char*>(field), 16);
    size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

bool BirdFile::ValidateSerialNumber(unsigned int serialNumber) const
{
    return GetSerialNumber() == serialNumber;
}

bool BirdFile::ValidateModel(const char* model) const
{
    if (!_info_field(48) || !model)
        return false;
    std::string field = GetModel();
    size_t length = strlen(model);
    if (length > field.size() || memcmp(field.data(), model, length) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::VerifyFile(const char* filePath)
{
    kxFileRef file = kxFile_Open(filePath, kxFileRead);
    if (!file)
    {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath ? filePath : "");
        return false;
    }
    unsigned char header[6] = {};
    size_t got = 0;
    kxFile_Read(file, header, sizeof header, &got);
    kxFile_Close(&file);
    return VerifyHeader(header, got);
}

bool BirdFile::VerifyHeader(const unsigned char* file, size_t size)
{
    return file != nullptr && size >= 6 && _be32(file) == BIRD_FILE_SIGNATURE && file[4] != 0 &&
           file[5] != 0;
}
