// Reading the command line into Parameters: option matching, arguments,
// conversions and the messages of refused options.
#include "app/Log.h"
#include "app/Parameters.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace
{
class RecordingDisplay : public UpdaterDisplayInterface
{
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    std::vector<std::string> infos;
    std::vector<std::string> errors;
};

class ParseTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
    }
    void TearDown() override { Log::package_bitmask = 0; }

    int parse(std::initializer_list<const char*> words)
    {
        std::vector<std::string> storage{"/opt/tools/Updater"};
        storage.insert(storage.end(), words.begin(), words.end());
        std::vector<char*> argv;
        for (auto& word : storage)
        {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        return _get_params(display, static_cast<int>(storage.size()), argv.data(), &params);
    }

    RecordingDisplay display;
    Parameters params;
};
} // namespace

TEST(NumberArguments, WholeTextMustBeDigitsOfTheBase)
{
    char text[] = "40F5849a";
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg(text, &end), 0x40F5849Au);
    EXPECT_EQ(end, text + 8);

    char bad[] = "12G4";
    end = bad;
    EXPECT_EQ(_get_hex_arg(bad, &end), 0u);
    EXPECT_EQ(end, bad); // untouched

    char decimal[] = "0099";
    EXPECT_EQ(_get_int_arg(decimal, &end), 99u);
    char trailing[] = "12x";
    end = nullptr;
    EXPECT_EQ(_get_int_arg(trailing, &end), 0u);
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(_get_int_arg("", &end), 0u);
    EXPECT_EQ(_get_int_arg("-5", &end), 0u);
    EXPECT_EQ(_get_hex_arg("0x10", &end), 0u); // the prefix is the caller's business
}

TEST(NumberArguments, OnlyTheLow32BitsAreKept)
{
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg("1FFFFFFFF", &end), 0xFFFFFFFFu);
    EXPECT_EQ(_get_hex_arg("123456789ABCDEF0123", &end), 0xCDEF0123u);
    EXPECT_EQ(_get_int_arg("4294967296", &end), 0u);
    EXPECT_EQ(_get_int_arg("4294967297", &end), 1u);
}

TEST_F(ParseTest, CommandsSetTheirBits)
{
    ASSERT_EQ(parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "ignored"}), 0);
    EXPECT_EQ(params.commands.Bits(), 0x3FFu);
    EXPECT_TRUE(params.commands.IsSet(CMD_Z));
    EXPECT_FALSE(params.commands.IsSet(CMD_HELP));
}

TEST_F(ParseTest, LongOptionsMatchUnambiguousPrefixes)
{
    for (const char* word : {"-O", "-OV", "-OVER", "-OVERRID", "-OVERRIDE"})
    {
        ASSERT_EQ(parse({word}), 0) << word;
        EXPECT_TRUE(params.override_checks) << word;
    }
    for (const char* word : {"--h", "--he", "--hel", "--help"})
    {
        ASSERT_EQ(parse({word, "-D"}), 0) << word;
        EXPECT_TRUE(params.help_requested) << word;
        EXPECT_FALSE(params.commands.IsSet(CMD_DISCOVER)) << word; // parsing stopped
    }
    // Not prefixes, or nothing past the dashes: skipped.
    for (const char* word : {"-OVERRIDEX", "--helpme", "--", "-", "---help"})
    {
        ASSERT_EQ(parse({word}), 0) << word;
        EXPECT_FALSE(params.override_checks) << word;
        EXPECT_FALSE(params.help_requested) << word;
    }
}

TEST_F(ParseTest, MatchingIsCaseSensitiveAndLettersDoNotClump)
{
    ASSERT_EQ(parse({"-d", "40F5849A", "-DU", "-q", "-u", "http://127.0.0.1:9/cgi/u"}), 0);
    EXPECT_EQ(params.serial_number, 0x40F5849Au);
    EXPECT_FALSE(params.commands.IsSet(CMD_DISCOVER | CMD_UPDATE));
    ASSERT_EQ(parse({"-override", "-help"}), 0);
    EXPECT_FALSE(params.override_checks);
    EXPECT_FALSE(params.help_requested);
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(ParseTest, ArgumentsAreTheNextWordOrFollowAnEqualsSign)
{
    ASSERT_EQ(parse({"-d=40F5849A", "-s", "-U", "-f=", "-b=0099", "plain", "-G"}), 0);
    EXPECT_EQ(params.serial_number, 0x40F5849Au);
    EXPECT_EQ(params.serial_port, "-U"); // taken as it is
    EXPECT_FALSE(params.commands.IsSet(CMD_UPDATE));
    EXPECT_EQ(params.bird_file, "");
    EXPECT_EQ(params.build_number, "99");
    EXPECT_TRUE(params.commands.IsSet(CMD_GET_BUILD));
}

TEST_F(ParseTest, RejectedWordsAreSkippedSilently)
{
    // "=" arguments to options that take none, and a missing last argument.
    ASSERT_EQ(parse({"-D=1", "-OVER=yes", "--help=1", "-e", "-n", "-d"}), 0);
    EXPECT_FALSE(params.commands.IsSet(CMD_DISCOVER));
    EXPECT_FALSE(params.override_checks);
    EXPECT_FALSE(params.help_requested);
    EXPECT_TRUE(params.echo);
    EXPECT_TRUE(params.flag_n);
    EXPECT_EQ(params.serial_number, 0u);
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(ParseTest, SerialNumbersWithAndWithoutPrefix)
{
    char* logText = nullptr;
    size_t logSize = 0;
    FILE* log = open_memstream(&logText, &logSize);
    Log::SetOutput(log);
    ASSERT_EQ(parse({"-d", "0x40F5849A", "-r", "0XD272031D"}), 0);
    EXPECT_EQ(params.serial_number, 0x40F5849Au);
    EXPECT_EQ(params.router_serial_number, 0xD272031Du);
    ASSERT_EQ(parse({"-X", "1", "-d", "0x40F5849A", "-r", "0xD272031D"}), 0);
    EXPECT_EQ(params.serial_number, 0x40F5849Au);
    Log::SetOutput(nullptr);
    fclose(log);
    std::string written(logText, logSize);
    free(logText);
    // Only the second parse had the mask on.
    EXPECT_EQ(written, "Discarding '0x' serial number prefix\n"
                       "Discarding '0x' router serial number prefix\n");
}

TEST_F(ParseTest, TransportIsCaseSensitiveAndMatchedOnItsFirstLetters)
{
    ASSERT_EQ(parse({"-t", "TCPIP"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_TCPIP);
    EXPECT_TRUE(params.transport_given);
    ASSERT_EQ(parse({"-t", "TCP"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_TCPIP);
    ASSERT_EQ(parse({"-t", "USB"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_USB);
    ASSERT_EQ(parse({"-t", "RECOVER"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_RECOVER);
    EXPECT_TRUE(display.errors.empty());

    EXPECT_EQ(parse({"-t", "usb"}), 1);
    EXPECT_EQ(params.transport, TRANSPORT_INVALID);
    EXPECT_EQ(parse({"-t", "RECOV"}), 1);
    ASSERT_EQ(display.errors.size(), 2u);
    EXPECT_EQ(display.errors[0],
              "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER");
}

TEST_F(ParseTest, BuildAndBaudRateConversions)
{
    ASSERT_EQ(parse({"-b", "12x", "-o", "fast"}), 0);
    EXPECT_EQ(params.build_number, "0");
    EXPECT_EQ(params.baud_rate, 0);
    ASSERT_EQ(parse({"-b", "99528558", "-o", "9600"}), 0);
    EXPECT_EQ(params.build_number, "99528558");
    EXPECT_EQ(params.baud_rate, 9600);
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(ParseTest, UEIBytesSwitch)
{
    for (const char* word : {"1", "10", "true", "trueish"})
    {
        ASSERT_EQ(parse({"-m", "0", "-m", word}), 0);
        EXPECT_TRUE(params.use_uei_bytes) << word;
    }
    for (const char* word : {"0", "yes", "TRUE", ""})
    {
        ASSERT_EQ(parse({"-m", word}), 0);
        EXPECT_FALSE(params.use_uei_bytes) << word;
    }
}

TEST_F(ParseTest, LogMaskIsActivatedAtOnce)
{
    ASSERT_EQ(parse({"-X", "0x10000"}), 0);
    EXPECT_TRUE(params.log_mask_given);
    EXPECT_EQ(params.log_mask, 0x10000u);
    EXPECT_EQ(Log::package_bitmask, 0x10000u);
    ASSERT_EQ(parse({"-X", "9"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x10009u); // ORed in
}

TEST_F(ParseTest, LogMaskWithLeftoverCharactersIsReportedButDoesNotFail)
{
    ASSERT_EQ(parse({"-X", "12abc", "-X", "0x1G"}), 0);
    EXPECT_TRUE(params.log_mask_given);
    EXPECT_EQ(Log::package_bitmask, 0u);
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{
                  "Invalid format for \"-X\" parameter, unprocessed characters [abc]",
                  "Invalid format for \"-X\" parameter, unprocessed characters [G]"}));
}

TEST_F(ParseTest, HelpStopsParsingAndKeepsWhatCameBefore)
{
    ASSERT_EQ(parse({"-X", "0x10000", "-h", "-d", "0", "-Y"}), 0);
    EXPECT_TRUE(params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(params.log_mask_given);
    EXPECT_TRUE(display.errors.empty()); // nothing after -h was read

    ASSERT_EQ(parse({"-H", "-X", "0x10000"}), 0);
    EXPECT_TRUE(params.help_requested);
    EXPECT_FALSE(params.log_mask_given);
}

TEST_F(ParseTest, StringParametersKeepTheLastOccurrence)
{
    ASSERT_EQ(parse({"-s", "/dev/a", "-i", "/tmp/one", "-s", "/dev/b", "-i=/tmp/two"}), 0);
    EXPECT_EQ(params.serial_port, "/dev/b");
    EXPECT_EQ(params.store_root, "/tmp/two");
}

TEST_F(ParseTest, ServerGivenAsHostAndPortGetsSchemeAndPath)
{
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1:8080", "http://127.0.0.1:8080/cgi/u"},
        {"updates.example:80", "http://updates.example:80/cgi/u"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/cgi/u"},
        {"https://host:443", "https://host:443/cgi/u"},
        // Whole URLs stay exactly as given.
        {"http://127.0.0.1:9/cgi/u", "http://127.0.0.1:9/cgi/u"},
        {"http://host:1/", "http://host:1/"},
        {"http://host:1/other?x=1", "http://host:1/other?x=1"},
        {"host:1/elsewhere", "http://host:1/elsewhere"},
    };
    for (const auto& [given, used] : cases)
    {
        ASSERT_EQ(parse({"-B", "-d", "1", "-u", given}), 0) << given;
        EXPECT_EQ(params.server_url, used) << given;
    }
}
