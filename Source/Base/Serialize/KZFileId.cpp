#include "Base/Serialize/KZKey.h"

#include "Base/Hash/KZStringHash.h"

#include <uuid/uuid.h>

void CKZFileId::RefreshFileId()
{
    uuid_t uuid;
    uuid_generate(uuid);
    char szText[37];
    uuid_unparse(uuid, szText);
    m_dwId = KZEngine::Hash(szText);
}
