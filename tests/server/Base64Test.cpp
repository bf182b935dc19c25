#include "app/server/base64.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

namespace
{
std::string _encode(const std::string& data)
{
    unsigned long length = 99;
    char* text = base64_encode(data.data(), data.size(), &length);
    EXPECT_NE(text, nullptr);
    std::string out = text != nullptr ? std::string(text, length) : "";
    EXPECT_EQ(text != nullptr ? strlen(text) : 0, length);
    free(text);
    return out;
}

// Decoded bytes, or "<null>" when decoding refuses the text.
std::string _decode(const std::string& text)
{
    unsigned long length = 99;
    char* data = base64_decode(text.data(), text.size(), &length);
    if (data == nullptr)
    {
        return "<null>";
    }
    std::string out(data, length);
    EXPECT_EQ(data[length], '\0');
    free(data);
    return out;
}

} // namespace

TEST(Base64, KnownTexts)
{
    EXPECT_EQ(_encode("abc"), "YWJj");
    EXPECT_EQ(_encode("ab"), "YWI=");
    EXPECT_EQ(_encode("a"), "YQ==");
    EXPECT_EQ(_encode(""), "");
    EXPECT_EQ(_encode(std::string("\0\xff\xfe", 3)), "AP/+");

    EXPECT_EQ(_decode("YWI="), "ab");
    EXPECT_EQ(_decode("YQ=="), "a");
    EXPECT_EQ(_decode("YWJj"), "abc");
    EXPECT_EQ(_decode("AP/+"), std::string("\0\xff\xfe", 3));
    unsigned long length = 0;
    char* data = base64_decode("YWI=", 4, nullptr);
    ASSERT_NE(data, nullptr);
    free(data);
    data = base64_decode("YWI=", 4, &length);
    EXPECT_EQ(length, 2u);
    free(data);
}

TEST(Base64, DecodeRefusesMalformedText)
{
    EXPECT_EQ(_decode("YWJjZ"), "<null>");  // not a multiple of 4
    EXPECT_EQ(_decode(""), "<null>");       // nothing to decode
    EXPECT_EQ(_decode("YW*j"), "<null>");   // outside the alphabet
    EXPECT_EQ(_decode("YWJj\r"), "<null>"); // a line end is no base64
    EXPECT_EQ(_decode("YWJ\n"), "<null>");
    EXPECT_EQ(_decode("YW-_"), "<null>"); // the URL alphabet is not this one
    EXPECT_EQ(_decode("Y=Jj"), "<null>"); // padding only at the end
    EXPECT_EQ(_decode("YQ==YWJj"), "<null>");
    EXPECT_EQ(_decode("===="), "<null>");
    EXPECT_EQ(_decode("Y=J="), "<null>");
    EXPECT_EQ(_decode(std::string("YW\0j", 4)), "<null>");
    EXPECT_EQ(_decode(std::string("YW\xc3\xa9", 4)), "<null>");
    EXPECT_EQ(base64_decode(nullptr, 4, nullptr), nullptr);
    EXPECT_EQ(base64_encode(nullptr, 3, nullptr), nullptr);
}

TEST(Base64, AgreesWithCoreutilsOnRandomData)
{
    TempDir dir;
    std::mt19937 random(20260211);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 70; ++n)
    {
        lengths.push_back(n);
    }
    for (size_t n : {255u, 256u, 257u, 1000u, 4095u, 4096u, 65537u})
    {
        lengths.push_back(n);
    }
    for (int i = 0; i < 20; ++i)
    {
        lengths.push_back(random() % 20000);
    }
    for (size_t n : lengths)
    {
        std::string data(n, '\0');
        for (char& c : data)
        {
            c = static_cast<char>(random());
        }
        std::string path = dir.path() + "/data";
        WriteBytes(path, data);
        int status = -1;
        std::string expected = RunShell("base64 -w0 '" + path + "'", &status);
        ASSERT_EQ(status, 0);
        std::string encoded = _encode(data);
        ASSERT_EQ(encoded, expected) << "length " << n;
        if (n != 0)
        {
            ASSERT_EQ(_decode(expected), data) << "length " << n;
        }
        WriteBytes(path, encoded);
        ASSERT_EQ(RunShell("base64 -d '" + path + "'", &status), data) << "length " << n;
        ASSERT_EQ(status, 0);
    }
}

TEST(Base64, DecodesOverItsOwnText)
{
    std::mt19937 random(7);
    for (size_t size : {1u, 2u, 3u, 4u, 5u, 100u, 4099u})
    {
        std::string data(size, '\0');
        for (char& c : data)
            c = static_cast<char>(random());
        std::string text = _encode(data);
        unsigned long length = 0;
        ASSERT_TRUE(base64_decode_in_place(text.data(), text.size(), &length)) << size;
        EXPECT_EQ(std::string(text.data(), length), data) << size;
    }
    for (const char* bad : {"", "YWI", "YW=I", "Y*Jj", "====", "YWJj\n"})
    {
        std::string text = bad;
        unsigned long length = 99;
        EXPECT_FALSE(base64_decode_in_place(text.data(), text.size(), &length)) << bad;
        EXPECT_EQ(_decode(bad), "<null>") << bad;
    }
}
