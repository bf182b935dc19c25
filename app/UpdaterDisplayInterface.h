// The sink of every user-facing message, progress bar and spinner.
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

    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted = false;
};
