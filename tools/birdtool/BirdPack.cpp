#include "BirdPack.h"

#include "app/firmware/BirdFile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <zlib.h>

namespace
{
void _put_be32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

void _put_field(std::vector<uint8_t>& out, const std::string& text)
{
    std::string field = text.substr(0, 16);
    field.resize(16, ' ');
    out.insert(out.end(), field.begin(), field.end());
}

bool _parse_number(const std::string& text, uint32_t& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull)
        return false;
    value = uint32_t(v);
    return true;
}

bool _parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out)
{
    std::string digits;
    for (char c : text)
        if (c != ':' && c != '_')
            digits += c;
    if (digits.size() % 2)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
    {
        if (!isxdigit(uint8_t(digits[i])) || !isxdigit(uint8_t(digits[i + 1])))
            return false;
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}
} // namespace

BirdPackBlock BirdPack_AddressBlock(uint8_t type, uint8_t flags, uint32_t address,
                                    const std::vector<uint8_t>& payload)
{
    BirdPackBlock block;
    block.type = type;
    block.flags = flags;
    _put_be32(block.data, address);
    block.data.insert(block.data.end(), payload.begin(), payload.end());
    return block;
}

BirdPackBlock BirdPack_InfoBlockText(const std::string& build, const std::string& version,
                                     const std::string& serial, const std::string& model)
{
    BirdPackBlock block;
    block.type = BirdFile::BLOCK_INFO;
    _put_field(block.data, build);
    _put_field(block.data, version);
    _put_field(block.data, serial);
    _put_field(block.data, model);
    return block;
}

BirdPackBlock BirdPack_InfoBlock(uint32_t build, const std::string& version, uint32_t serial,
                                 const std::string& model)
{
    char serialText[16];
    snprintf(serialText, sizeof serialText, "%08X", serial);
    return BirdPack_InfoBlockText(std::to_string(build), version, serialText, model);
}

BirdPackBlock BirdPack_OffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress)
{
    BirdPackBlock block;
    block.type = BirdFile::BLOCK_SERIAL_OFFSETS;
    _put_be32(block.data, serialAddress);
    _put_be32(block.data, descriptorAddress);
    return block;
}

BirdPackBlock BirdPack_EntryBlock(uint32_t address)
{
    BirdPackBlock block;
    block.type = BirdFile::BLOCK_ENTRY_ADDRESS;
    _put_be32(block.data, address);
    return block;
}

void BirdPack_Scramble(std::vector<uint8_t>& payload, const std::vector<uint32_t>& key)
{
    uint8_t k[16] = {};
    for (size_t w = 0; w < 4 && w < key.size(); ++w)
        for (int b = 0; b < 4; ++b)
            k[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
    uint8_t previous = 0;
    for (size_t i = 0; i < payload.size(); ++i)
    {
        uint8_t plain = payload[i];
        payload[i] = plain ^ k[i % 16] ^ previous;
        previous = plain;
    }
}

uint32_t BirdPack_Checksum(const std::vector<uint8_t>& image)
{
    return uint32_t(crc32(0L, image.data(), uInt(image.size())));
}

std::vector<uint8_t> BirdPack_Image(const BirdManifest& manifest)
{
    std::vector<uint8_t> image;
    _put_be32(image, manifest.declaredCount.value_or(uint32_t(manifest.blocks.size())));
    for (const BirdPackBlock& block : manifest.blocks)
    {
        std::vector<uint8_t> data = block.data;
        if (manifest.key && block.type == BirdFile::BLOCK_FIRMWARE && data.size() > 4)
        {
            std::vector<uint8_t> payload(data.begin() + 4, data.end());
            BirdPack_Scramble(payload, *manifest.key);
            std::copy(payload.begin(), payload.end(), data.begin() + 4);
        }
        image.push_back(uint8_t((block.type & BirdFile::BIRD_FILE_TYPE_MASK) |
                                ((block.flags << 5) & BirdFile::BIRD_FILE_FLAG_MASK)));
        _put_be32(image, uint32_t(data.size()));
        image.insert(image.end(), data.begin(), data.end());
    }
    _put_be32(image, BirdPack_Checksum(image));
    return image;
}

std::vector<uint8_t> BirdPack_FileFromImage(const std::vector<uint8_t>& image,
                                            uint16_t formatVersion)
{
    uLongf capacity = compressBound(uLong(image.size()));
    std::vector<uint8_t> out = {
        'b', 'i', 'r', 'd', uint8_t(formatVersion >> 8), uint8_t(formatVersion)};
    out.resize(6 + capacity);
    if (compress2(out.data() + 6, &capacity, image.data(), uLong(image.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return {};
    out.resize(6 + capacity);
    return out;
}

std::vector<uint8_t> BirdPack_File(const BirdManifest& manifest)
{
    return BirdPack_FileFromImage(BirdPack_Image(manifest), manifest.formatVersion);
}

bool BirdPack_WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.flush();
        if (!out)
        {
            std::remove(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool BirdPack_ParseManifest(const std::string& text, const std::string& baseDir,
                            BirdManifest& manifest, std::string& error)
{
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why)
    {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(lines, line))
    {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb))
            continue;
        std::vector<std::pair<std::string, std::string>> args;
        std::vector<std::string> bare;
        for (std::string word; words >> word;)
        {
            size_t eq = word.find('=');
            if (eq == std::string::npos)
                bare.push_back(word);
            else
                args.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
        auto arg = [&](const std::string& name) -> const std::string*
        {
            for (auto& [k, v] : args)
                if (k == name)
                    return &v;
            return nullptr;
        };
        if (verb == "block")
        {
            uint32_t type = 0, flags = 0, address = 0;
            if (bare.size() != 1 || !_parse_number(bare[0], type) || type > 31)
                return fail("block needs one type from 0 to 31");
            if (const std::string* f = arg("flags"); f && (!_parse_number(*f, flags) || flags > 7))
                return fail("flags must be 0 to 7");
            std::vector<uint8_t> payload;
            if (const std::string* h = arg("hex"))
            {
                if (!_parse_hex_bytes(*h, payload))
                    return fail("hex payload is not an even number of hexadecimal digits");
            }
            else if (const std::string* f = arg("file"))
            {
                std::string filePath = (!f->empty() && (*f)[0] == '/') ? *f : baseDir + "/" + *f;
                std::ifstream in(filePath, std::ios::binary);
                if (!in)
                    return fail("cannot read payload file " + filePath);
                payload.assign(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
            }
            else
                return fail("block needs hex=... or file=...");
            bool addressed = type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
            if (const std::string* a = arg("address"))
            {
                if (!addressed)
                    return fail("only loader (0) and firmware (1) blocks have an address");
                if (!_parse_number(*a, address))
                    return fail("bad address");
            }
            if (addressed)
                manifest.blocks.push_back(
                    BirdPack_AddressBlock(uint8_t(type), uint8_t(flags), address, payload));
            else
                manifest.blocks.push_back(BirdPackBlock{uint8_t(type), uint8_t(flags), payload});
        }
        else if (verb == "info")
        {
            const std::string *build = arg("build"), *version = arg("version"),
                              *serial = arg("serial"), *model = arg("model");
            if (!build || !version || !serial || !model)
                return fail("info needs build=, version=, serial= and model=");
            std::string m = *model;
            for (char& c : m)
                if (c == '_')
                    c = ' ';
            manifest.blocks.push_back(BirdPack_InfoBlockText(*build, *version, *serial, m));
        }
        else if (verb == "offsets")
        {
            uint32_t s = 0, d = 0;
            const std::string *serial = arg("serial"), *descriptor = arg("descriptor");
            if ((serial && !_parse_number(*serial, s)) ||
                (descriptor && !_parse_number(*descriptor, d)))
                return fail("bad offsets address");
            manifest.blocks.push_back(BirdPack_OffsetsBlock(s, d));
        }
        else if (verb == "entry")
        {
            uint32_t a = 0;
            if (bare.size() != 1 || !_parse_number(bare[0], a))
                return fail("entry needs one address");
            manifest.blocks.push_back(BirdPack_EntryBlock(a));
        }
        else if (verb == "key")
        {
            std::vector<uint32_t> key(4);
            if (bare.size() != 4)
                return fail("key needs four 32-bit words");
            for (int i = 0; i < 4; ++i)
                if (!_parse_number(bare[i], key[i]))
                    return fail("bad key word " + bare[i]);
            manifest.key = key;
        }
        else
            return fail("unknown statement '" + verb + "'");
    }
    return true;
}
