// The COBS codec.
#include <lumbrixon/cobs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

// A pointer that is never null, also for an empty vector.
const uint8_t* Data(const Bytes& bytes)
{
    static const uint8_t sNothing = 0;
    return bytes.empty() ? &sNothing : bytes.data();
}

Bytes Encode(const Bytes& in)
{
    Bytes out(COBS_ENCODED_MAX(in.size()));
    out.resize(cobs_encode(Data(in), in.size(), out.data()));
    return out;
}

Bytes Decode(const Bytes& in)
{
    Bytes out(in.size() + 1);
    out.resize(cobs_decode(Data(in), in.size(), out.data()));
    return out;
}

Bytes Ramp(size_t n, uint8_t first)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
    {
        bytes[i] = static_cast<uint8_t>((first + i) % 255 + 1);
    }
    return bytes;
}
} // namespace

TEST(Cobs, KnownVectors)
{
    EXPECT_EQ(Encode({}), Bytes({0x01}));
    EXPECT_EQ(Encode({0x00}), Bytes({0x01, 0x01}));
    EXPECT_EQ(Encode({0x11, 0x00}), Bytes({0x02, 0x11, 0x01}));
    EXPECT_EQ(Encode({0x11, 0x22, 0x00, 0x33}), Bytes({0x03, 0x11, 0x22, 0x02, 0x33}));
    EXPECT_EQ(Encode({0x04, 0x00, 0x3B}), Bytes({0x02, 0x04, 0x02, 0x3B}));
    EXPECT_EQ(Decode({0x02, 0x11, 0x01}), Bytes({0x11, 0x00}));
    EXPECT_EQ(Decode({0x02, 0x04, 0x02, 0x3B}), Bytes({0x04, 0x00, 0x3B}));
}

TEST(Cobs, FullBlockOf254Bytes)
{
    Bytes in = Ramp(254, 0);
    Bytes encoded = Encode(in);
    ASSERT_EQ(encoded.size(), 256u);
    EXPECT_EQ(encoded.front(), 0xFF);
    EXPECT_EQ(Bytes(encoded.begin() + 1, encoded.end() - 1), in);
    EXPECT_EQ(encoded.back(), 0x01);
    EXPECT_EQ(Decode(encoded), in);

    // A zero right after a full block, and a block of 255 bytes.
    Bytes withZero = in;
    withZero.push_back(0);
    EXPECT_EQ(Decode(Encode(withZero)), withZero);
    Bytes longer = Ramp(255, 7);
    Bytes encodedLonger = Encode(longer);
    EXPECT_EQ(encodedLonger.size(), 257u);
    EXPECT_EQ(encodedLonger[255], 0x02);
    EXPECT_EQ(Decode(encodedLonger), longer);
}

TEST(Cobs, RoundTripsRandomDataWithinTheBound)
{
    std::mt19937 random(1234);
    for (size_t n : {1u, 2u, 30u, 253u, 254u, 255u, 508u, 509u, 1000u})
    {
        for (int zeros : {0, 1, 8})
        {
            Bytes in = Ramp(n, static_cast<uint8_t>(random()));
            for (int z = 0; z < zeros; z++)
            {
                in[random() % n] = 0;
            }
            Bytes encoded = Encode(in);
            EXPECT_LE(encoded.size(), COBS_ENCODED_MAX(n));
            EXPECT_EQ(std::count(encoded.begin(), encoded.end(), 0), 0);
            EXPECT_EQ(Decode(encoded), in) << "n=" << n << " zeros=" << zeros;
        }
    }
}

TEST(Cobs, InPlaceMatchesTheBufferForms)
{
    for (size_t n : {0u, 3u, 31u, 254u, 600u})
    {
        Bytes in = Ramp(n, 3);
        if (n > 3)
        {
            in[2] = 0;
        }
        Bytes data = in;
        data.resize(COBS_ENCODED_MAX(n));
        size_t length = cobs_encode_inplace(data.data(), n);
        data.resize(length);
        EXPECT_EQ(data, Encode(in)) << n;
        data.resize(cobs_decode_inplace(data.data(), data.size()));
        EXPECT_EQ(data, in) << n;
    }
}

TEST(Cobs, DecodeRejectsCodesPastTheEnd)
{
    EXPECT_EQ(Decode({}).size(), 0u);
    EXPECT_EQ(Decode({0x05, 0x11, 0x22}).size(), 0u);
    EXPECT_EQ(Decode({0x02, 0x11, 0x03, 0x22}).size(), 0u);
    // A code that ends exactly at the end is fine.
    EXPECT_EQ(Decode({0x03, 0x11, 0x22}), Bytes({0x11, 0x22}));
}

TEST(CobsDeathTest, NullPointersStopTheProcess)
{
    uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_DEATH(cobs_encode(nullptr, 1, buffer), "null");
    EXPECT_DEATH(cobs_decode(buffer, 4, nullptr), "null");
    EXPECT_DEATH(cobs_encode_inplace(nullptr, 0), "null");
}
