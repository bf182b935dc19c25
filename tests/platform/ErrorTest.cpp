#include <lumbrixon/kxError.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

TEST(ErrorText, TablesAndOutOfRange)
{
    EXPECT_STREQ(kxError_GetErrorText(kxErrNone), "kxErrNone");
    EXPECT_STREQ(kxError_GetErrorDescription(kxErrNone), "Success, no error");
    EXPECT_STREQ(kxError_GetErrorText(kxErrTimeout), "kxErrTimeout");
    EXPECT_STREQ(kxError_GetErrorDescription(kxErrTimeout), "Timeout occurred");
    EXPECT_STREQ(kxError_GetErrorText(27), "kxErrShortCommand");
    EXPECT_STREQ(kxError_GetErrorDescription(27), "Lumbrixon command to short");
    EXPECT_STREQ(kxError_GetErrorText(34), "kxErrUnknown");
    EXPECT_STREQ(kxError_GetErrorDescription(34), "Unknown error");
    EXPECT_STREQ(kxError_GetErrorText(35), "kxErrUnknown");
    EXPECT_STREQ(kxError_GetErrorDescription(35), "Unknown error");
    EXPECT_STREQ(kxError_GetErrorText(0xFFFFFFFFu), "kxErrUnknown");
}

TEST(ErrorText, DebugLinesOnlyWhenSwitchedOn)
{
    testing::internal::CaptureStdout();
    kxDebug_Printf(kxDebugUSB, "hidden %d\n", 1);
    kxLumbrixonDebuggingEnable = 2; // only exactly 1 switches on
    kxLumbrixonDebuggingLevel = kxDebugUSB;
    kxDebug_Printf(kxDebugUSB, "hidden %d\n", 2);
    kxLumbrixonDebuggingEnable = 1;
    kxDebug_Printf(kxDebugLink, "hidden %d\n", 3);
    kxDebug_Printf(kxDebugUSB, "shown %d\n", 4);
    kxLumbrixonDebuggingEnable = 0;
    kxLumbrixonDebuggingLevel = 0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown 4\n");
}
