// The console display: messages on standard output and standard error, and
// progress bars and spinners that are drawn only when standard output is a
// terminal.
#pragma once

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface
{
public:
    // Makes standard output and standard error unbuffered.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
