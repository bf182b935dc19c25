// The display interface's message routing, and what the console display draws
// on a terminal and on a pipe.
#include "app/UpdaterDisplayInterface.h"
#include "tests/cli/ProcessRunner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
class RecordingDisplay : public UpdaterDisplayInterface
{
public:
    void display_progress(bool show) override { calls.push_back(show ? "show" : "hide"); }
    void update_progress(double, const char*) override { calls.push_back("progress"); }
    void update_spinner(bool, const char*) override { calls.push_back("spinner"); }
    void info_message(const char* text) override { calls.push_back(std::string("info:") + text); }
    void error_message(const char* text) override { calls.push_back(std::string("error:") + text); }

    std::vector<std::string> calls;
};

RunResult _probe(const std::vector<std::string>& steps, bool terminal)
{
    RunOptions options;
    options.terminal = terminal;
    options.timeoutMs = 10000;
    return RunProgram(CLI_DISPLAY_PROBE, steps, options);
}

std::string _bar(int filled, int spaces)
{
    return std::string(static_cast<size_t>(filled), '=') + ">" +
           std::string(static_cast<size_t>(spaces), ' ');
}

const std::string _erase = "\r" + std::string(88, ' ') + "\r";
} // namespace

TEST(DisplayMessage, LevelsRouteToTheirSinksAndFormat)
{
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::Info, "build %u of %s", 7u, "x");
    display.message(UpdaterDisplayInterface::Error, "failed %d", 3);
    display.message(static_cast<UpdaterDisplayInterface::Level>(5), "other");
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"info:build 7 of x", "error:failed 3", "info:other"}));
}

TEST(DisplayMessage, LongTextIsCutAt2047Characters)
{
    RecordingDisplay display;
    std::string text(3000, 'a');
    display.message(UpdaterDisplayInterface::Info, "%s", text.c_str());
    ASSERT_EQ(display.calls.size(), 1u);
    EXPECT_EQ(display.calls[0], "info:" + std::string(2047, 'a'));

    display.calls.clear();
    std::string exact(2047, 'b');
    display.message(UpdaterDisplayInterface::Error, "%s", exact.c_str());
    EXPECT_EQ(display.calls[0], "error:" + exact);
}

TEST(DisplayMessage, MutingSilencesMessagesButNotProgress)
{
    RecordingDisplay display;
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::Info, "hidden");
    display.message(UpdaterDisplayInterface::Error, "hidden");
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.update_spinner(true, nullptr);
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::Info, "back");
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"show", "progress", "spinner", "info:back"}));
}

TEST(ConsoleDisplay, ProgressBarOnATerminal)
{
    RunResult r = _probe({"progress", "0.5", "-", "progress", "0", "-", "progress", "1", "-",
                          "progress", "0.999", "-"},
                         true);
    ASSERT_FALSE(r.setupFailed);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\r[" + _bar(34, 34) + "] ( 50% ) " +    //
                         "\r[" + _bar(0, 68) + "] (  0% ) " + //
                         "\r[" + _bar(69, 0) + "] (100% ) " + //
                         "\r[" + _bar(68, 0) + "] ( 99% ) ");
}

TEST(ConsoleDisplay, LabelShrinksTheBar)
{
    // A 10-character label leaves 69 - 4 - 10 = 55 places.
    RunResult r = _probe({"progress", "0.5", "0123456789"}, true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\r (0123456789) [" + _bar(27, 27) + "] ( 50% ) ");
}

TEST(ConsoleDisplay, OutOfRangeProgressStaysInsideTheBar)
{
    std::string longLabel(80, 'L');
    RunResult r = _probe({"progress", "-0.5", "-", "progress", "2.5", "-", "progress", "nan", "-",
                          "progress", "0.5", longLabel},
                         true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\r[" + _bar(0, 68) + "] (  0% ) " +     //
                         "\r[" + _bar(69, 0) + "] (100% ) " + //
                         "\r[" + _bar(0, 68) + "] (  0% ) " + //
                         "\r (" + longLabel + ") [" + _bar(0, 0) + "] ( 50% ) ");
}

TEST(ConsoleDisplay, SpinnerCyclesThroughEightFramesAndErases)
{
    std::vector<std::string> steps;
    for (int i = 0; i < 9; ++i)
    {
        steps.push_back("spin");
        steps.push_back(i == 8 ? "Downloading" : "-");
    }
    steps.push_back("stop");
    steps.push_back("Downloading");
    RunResult r = _probe(steps, true);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    for (const char* frame : frames)
    {
        expected += std::string("\r ") + frame + "      \r";
    }
    expected += "\r (Downloading) .      \r";
    expected += _erase;
    EXPECT_EQ(r.out, expected);
}

TEST(ConsoleDisplay, HidingProgressErasesTheLineAndShowingDrawsNothing)
{
    RunResult r = _probe({"show", "hide"}, true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, _erase);
}

TEST(ConsoleDisplay, MessagesOnATerminalAndWhileMuted)
{
    RunResult r = _probe({"info", "hello", "error", "oops", "mute", "info", "quiet", "error",
                          "quiet", "progress", "0.5", "-", "unmute", "info", "again"},
                         true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "hello\n\r[" + _bar(34, 34) + "] ( 50% ) again\n");
    EXPECT_EQ(r.err, "oops\n");
}

TEST(ConsoleDisplay, NothingButMessagesOnAPipe)
{
    RunResult r = _probe({"info", "first", "show",  "progress", "0.5",  "-",           "progress",
                          "0.5",  "Label", "spin",  "-",        "spin", "Downloading", "stop",
                          "-",    "hide",  "error", "second",   "info", "third"},
                         false);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "first\nthird\n");
    EXPECT_EQ(r.err, "second\n");
}
