// The command line, read once into one record before anything else runs.
#pragma once

#include "app/CommandsClass.h"
#include "app/UpdaterDisplayInterface.h"
#include <lumbrixon/kxError.h>

#include <cstdint>
#include <string>

// Transport values of the "-t" option (device link types, plus recovery).
enum ParameterTransport : int
{
    TRANSPORT_INVALID = 0,
    TRANSPORT_USB = 1,
    TRANSPORT_TCPIP = 2,
    TRANSPORT_RECOVER = 255,
};

struct Parameters
{
    CommandsClass commands;
    uint32_t serial_number = 0;        // -d; 0 is none
    uint32_t router_serial_number = 0; // -r; 0 is none
    int transport = TRANSPORT_USB;     // -t
    bool transport_given = false;
    std::string serial_port; // -s
    int baud_rate = 115200;  // -o
    uint8_t module_address = 0;
    std::string bird_file;       // -f
    std::string history_message; // -l
    std::string build_number;    // -b, decimal digits; empty is the latest build
    bool echo = false;           // -e
    std::string server_url;      // -u
    bool flag_n = false;         // -n
    std::string store_root;      // -i; empty is the home directory plus ".kavrel"
    std::string application_name;
    std::string home_directory;
    std::string log_file_name = "Updater.log"; // -k
    bool override_checks = false;              // -OVERRIDE
    bool use_uei_bytes = true;                 // -m
    uint32_t log_mask = 0;                     // -X
    bool log_mask_given = false;
    bool help_requested = false; // -h, -H, --help
};

// Fills params from the command line, starting from the defaults. Returns 0
// when the line is acceptable, 1 otherwise; complaints go to the display.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// Runs after a clean parse; the combinations are checked by the commands.
int _validate_params(Parameters* params);
void _release_params(Parameters* params);

// The user's home directory (2048 bytes at most). Anything but a complete,
// non-empty path is a failure: kxErrNotFound for an empty one, kxErrOverrun
// for one that does not fit, or the directory layer's own error.
kxErr _read_home_directory(std::string& home);

// Whole-text conversions: unless every character is a digit of the base, 0
// with *end untouched; otherwise the low 32 bits of the value and *end behind
// the text. An empty text is 0.
unsigned _get_hex_arg(const char* text, char** end);
unsigned _get_int_arg(const char* text, char** end);
