// Drives a console display from its command line, so that tests can watch
// what it draws on a terminal and on a pipe.
//
//   progress <fraction> <label|->   show   hide   spin <label|->   stop <label|->
//   info <text>   error <text>   mute   unmute
#include "app/CLI_Display.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
const char* _label(const char* word)
{
    return strcmp(word, "-") == 0 ? nullptr : word;
}
} // namespace

int main(int argc, char** argv)
{
    CLI_Display display;
    for (int i = 1; i < argc; ++i)
    {
        const char* op = argv[i];
        bool hasOne = i + 1 < argc;
        if (strcmp(op, "progress") == 0 && i + 2 < argc)
        {
            display.update_progress(strtod(argv[i + 1], nullptr), _label(argv[i + 2]));
            i += 2;
        }
        else if (strcmp(op, "show") == 0)
        {
            display.display_progress(true);
        }
        else if (strcmp(op, "hide") == 0)
        {
            display.display_progress(false);
        }
        else if (strcmp(op, "spin") == 0 && hasOne)
        {
            display.update_spinner(true, _label(argv[++i]));
        }
        else if (strcmp(op, "stop") == 0 && hasOne)
        {
            display.update_spinner(false, _label(argv[++i]));
        }
        else if (strcmp(op, "info") == 0 && hasOne)
        {
            display.message(UpdaterDisplayInterface::Info, "%s", argv[++i]);
        }
        else if (strcmp(op, "error") == 0 && hasOne)
        {
            display.message(UpdaterDisplayInterface::Error, "%s", argv[++i]);
        }
        else if (strcmp(op, "mute") == 0)
        {
            display.mute_messages(true);
        }
        else if (strcmp(op, "unmute") == 0)
        {
            display.mute_messages(false);
        }
        else
        {
            fprintf(stderr, "display probe: bad step [%s]\n", op);
            return 2;
        }
    }
    return 0;
}
