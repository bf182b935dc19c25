// The sink of every user-facing message, progress bar and spinner.
//
// Only the main thread talks to a display.
#pragma once

class UpdaterDisplayInterface
{
public:
    enum Level
    {
        Info = 0,
        Error = 1,
    };

    virtual ~UpdaterDisplayInterface() = default;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats at most 2047 characters and hands them to error_message for
    // Error and to info_message for any other level. Nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Muting silences message() only; progress bars and spinners still show.
    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted = false;
};
