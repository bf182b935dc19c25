// The diagnostic log's package mask and output.
#include "app/Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace
{
class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        out = open_memstream(&buffer, &size);
        ASSERT_NE(out, nullptr);
        Log::package_bitmask = 0;
        Log::SetOutput(out);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::package_bitmask = 0;
        fclose(out);
        free(buffer);
    }
    std::string written()
    {
        fflush(out);
        return std::string(buffer, size);
    }

    FILE* out = nullptr;
    char* buffer = nullptr;
    size_t size = 0;
};
} // namespace

TEST_F(LogTest, WithMaskZeroOnlyPackageZeroIsWritten)
{
    Log::log(0, "always %d|", 1);
    Log::log(DEBUG_Updater, "updater|");
    Log::log(DEBUG_iMXSerial, "imx|");
    EXPECT_EQ(written(), "always 1|");
}

TEST_F(LogTest, APackageIsWrittenWhenItSharesABitWithTheMask)
{
    Log::ActivatePackage(DEBUG_APP | DEBUG_BirdFile);
    EXPECT_EQ(Log::package_bitmask, 0x00010008u);
    Log::log(DEBUG_APP, "app|");
    Log::log(DEBUG_BirdFile | DEBUG_Network, "shared|");
    Log::log(DEBUG_Network, "network|");
    Log::DeactivatePackage(DEBUG_APP);
    Log::log(DEBUG_APP, "app again|");
    Log::log(DEBUG_BirdFile, "bird|");
    EXPECT_EQ(written(), "app|shared|bird|");
}

TEST_F(LogTest, NoNewlineIsAddedAndLongLinesAreCut)
{
    std::string text(3000, 'x');
    Log::log(0, "%s", text.c_str());
    Log::log(0, "\n");
    EXPECT_EQ(written(), std::string(2047, 'x') + "\n");
}

TEST_F(LogTest, NothingIsWrittenWithoutAnOutput)
{
    // Package 0 is always selected: only the missing output keeps it back, and
    // it must not turn up on the standard streams instead.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Log::SetOutput(nullptr);
    Log::log(0, "lost");
    std::string standardOut = testing::internal::GetCapturedStdout();
    std::string standardErr = testing::internal::GetCapturedStderr();
    Log::SetOutput(out);
    EXPECT_EQ(standardOut, "");
    EXPECT_EQ(standardErr, "");
    EXPECT_EQ(written(), "");
}

TEST_F(LogTest, TimestampedLinesCarryTheStampAndSeparator)
{
    Log::timestamped = true;
    Log::log(0, "stamped");
    Log::timestamped = false;
    std::string line = written();
    // "YYYY:MM:DD:HH:MM:SS | stamped"
    ASSERT_EQ(line.size(), 19u + 3u + 7u) << line;
    EXPECT_EQ(line.substr(4, 1), ":");
    EXPECT_EQ(line.substr(19), " | stamped");
}
