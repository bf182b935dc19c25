// CRC-8 of the serial framing: reflected polynomial 0x31 (0x8C), initial
// value 0, no final inversion ("123456789" gives 0xA1).
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    uint8_t crc8_create(const uint8_t* data, size_t length);
    uint8_t crc8_update(uint8_t crc, uint8_t byte);
    bool crc8_check(const uint8_t* data, size_t length, uint8_t expected);

#ifdef __cplusplus
}
#endif
