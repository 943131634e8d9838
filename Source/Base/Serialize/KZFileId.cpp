#include "Base/Serialize/KZKey.h"

#include "Base/Hash/KZStringHash.h"
#include "Base/Platform/KZPlatform.h"

void CKZFileId::RefreshFileId()
{
    m_dwId = KZEngine::Hash(KZPlatform::NewUUIDText().c_str());
}
