// SHA-256 and HMAC-SHA256, enough to sign the server's feature tokens.
#pragma once

#include <array>
#include <cstdint>
#include <string>

std::array<uint8_t, 32> Sha256(const std::string& data);
std::array<uint8_t, 32> HmacSha256(const std::string& key, const std::string& message);
