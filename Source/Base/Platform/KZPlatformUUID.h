#pragma once
// Random UUIDs from the platform's uuid library (the same interface on Linux and macOS).

#include <cstdint>
#include <string>

namespace KZPlatform
{
void GenerateUUID(uint8_t abOut[16]);
// The 36-character 8-4-4-4-12 text form.
std::string UUIDToString(const uint8_t abUUID[16]);
}
