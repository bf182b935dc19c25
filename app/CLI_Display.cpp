#include "app/CLI_Display.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{
constexpr int _BAR_WIDTH = 69;
constexpr int _ERASE_WIDTH = 88;
constexpr char _BAR_FILL[] = "====================================================================="
                             "==========";
static_assert(sizeof _BAR_FILL - 1 >= _BAR_WIDTH, "the fill must cover the widest bar");

constexpr const char* _SPINNER_FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr uint8_t _SPINNER_FRAME_COUNT = sizeof _SPINNER_FRAMES / sizeof _SPINNER_FRAMES[0];

// Shared by every display; only the main thread draws.
uint8_t _spinner_position = 0;

bool _on_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool _has_label(const char* label)
{
    return label != nullptr && label[0] != '\0';
}

void _erase_line()
{
    printf("\r%*s\r", _ERASE_WIDTH, "");
}
} // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show)
{
    if (!show && _on_terminal())
    {
        _erase_line();
    }
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!_on_terminal())
    {
        return;
    }
    int width = _BAR_WIDTH;
    if (_has_label(label))
    {
        size_t length = strlen(label);
        width = length >= static_cast<size_t>(_BAR_WIDTH - 4)
                    ? 1
                    : _BAR_WIDTH - 4 - static_cast<int>(length);
    }
    // Out-of-range fractions (and NaN) are drawn at the nearest end of the bar.
    if (!(fraction >= 0.0))
    {
        fraction = 0.0;
    }
    if (fraction > 1.0)
    {
        fraction = 1.0;
    }
    int filled = static_cast<int>(fraction * width);
    int percent = static_cast<int>(fraction * 100);
    int spaces = width - filled - 1;
    if (spaces < 0)
    {
        spaces = 0;
    }
    if (_has_label(label))
    {
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, _BAR_FILL, spaces, "", percent);
    }
    else
    {
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, _BAR_FILL, spaces, "", percent);
    }
}

void CLI_Display::update_spinner(bool active, const char* label)
{
    if (!_on_terminal())
    {
        return;
    }
    if (!active)
    {
        _erase_line();
        return;
    }
    const char* frame = _SPINNER_FRAMES[_spinner_position % _SPINNER_FRAME_COUNT];
    if (_has_label(label))
    {
        printf("\r (%s) %s      \r", label, frame);
    }
    else
    {
        printf("\r %s      \r", frame);
    }
    _spinner_position = static_cast<uint8_t>((_spinner_position + 1) % _SPINNER_FRAME_COUNT);
}

void CLI_Display::info_message(const char* text)
{
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}
