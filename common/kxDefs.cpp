// Model numbers of the Lumbrixon family and their display names.
#include <lumbrixon/kxDefs.h>

namespace
{
// Indexed by model number minus kxDEFS_FIRST_MODEL. Each name fits the
// 16-character model field of a BIRD identity block.
const char* const sModelNames[kxDEFS_LAST_MODEL - kxDEFS_FIRST_MODEL + 1] = {
    "HUB3P",      //  4
    "HUB2X4",     //  5
    "Unknown",    //  6
    "Unknown",    //  7
    "Unknown",    //  8
    "Unknown",    //  9
    "Unknown",    // 10
    "Unknown",    // 11
    "Unknown",    // 12
    "SWITCH4",    // 13
    "SWITCH8",    // 14
    "ROUTER",     // 15
    "ETHERHUB",   // 16
    "DIO16",      // 17
    "DIO32",      // 18
    "RELAY8",     // 19
    "POWER4",     // 20
    "POWER8",     // 21
    "PMETER",     // 22
    "ADC16",      // 23
    "DAC8",       // 24
    "TEMP8",      // 25
    "SERVO4",     // 26
    "MULTIMETER", // 27
};

} // namespace

const char* kxDefs_GetModelName(uint32_t model)
{
    if (model < kxDEFS_FIRST_MODEL || model > kxDEFS_LAST_MODEL)
    {
        return "Unknown";
    }
    return sModelNames[model - kxDEFS_FIRST_MODEL];
}
