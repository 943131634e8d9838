#include "Base/Platform/KZPlatformUUID.h"

#include <cstring>
#include <uuid/uuid.h>

namespace KZPlatform
{
void GenerateUUID(uint8_t abOut[16])
{
    uuid_t uuid;
    uuid_generate(uuid);
    memcpy(abOut, uuid, 16);
}

std::string UUIDToString(const uint8_t abUUID[16])
{
    uuid_t uuid;
    memcpy(uuid, abUUID, 16);
    char szText[37];
    uuid_unparse(uuid, szText);
    return std::string(szText, 36);
}
}
