#include "Base/Serialize/KZKey.h"

#include "Base/Hash/KZStringHash.h"
#include "Base/Hash/KZUUID.h"

void CKZFileId::RefreshFileId()
{
    m_dwId = KZEngine::Hash(CKZUUID(CKZUUID::GENERATE).ValueAsString().c_str());
}
