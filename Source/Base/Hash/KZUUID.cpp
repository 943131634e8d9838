#include "Base/Hash/KZUUID.h"

#include "Base/Platform/KZPlatformUUID.h"

#include <cstring>

CKZUUID::CKZUUID()
{
    memset(m_abValue, 0, sizeof(m_abValue));
}

CKZUUID::CKZUUID(EGenerate)
{
    KZPlatform::GenerateUUID(m_abValue);
}

CKZUUID::~CKZUUID() = default;

std::string CKZUUID::ValueAsString() const
{
    return KZPlatform::UUIDToString(m_abValue);
}

std::array<uint8_t, 16> CKZUUID::ValueAsArray() const
{
    std::array<uint8_t, 16> value;
    memcpy(value.data(), m_abValue, sizeof(m_abValue));
    return value;
}
