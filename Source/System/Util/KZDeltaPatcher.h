#pragma once
// Turns an entry's packed copy into its new bytes with the delta its run fetched. The base is mapped
// in place in its pack (never copied), the delta read piece by piece and the result decoded straight
// into the mapped target file, and
// the result must be the record's to the byte (size, CRC-32 and, in a signed release, the SHA-256
// of the signed delta index) before it may enter the pack merge.

#include "System/KZPackFileArchive.h"
#include "System/Util/KZGuarded.h"
#include "System/Util/KZWebInstallerFile.h"

#include <cstdio>
#include <string>

class CKZDeltaPatcher
{
public:
    CKZDeltaPatcher(CKZGuarded<CKZPackFileArchive>& packs, bool bCheckDigest) : m_packs(packs), m_bCheckDigest(bCheckDigest)
    {
    }

    // Writes strTarget from the file's packed copy and the delta at strDelta. False, with the reason
    // and nothing left at strTarget, when the packed copy is not the delta's base, the delta does not
    // apply or the result is not the record's.
    bool Apply(const CKZWebInstallerFile& file, const std::string& strDelta, const std::string& strTarget,
               std::string& strWhy) const;

private:
    bool MapBase(const CKZWebInstallerFile& file, CKZMappedRegion& base) const;
    bool ApplyInto(const CKZWebInstallerFile& file, const CKZMappedRegion& base, FILE* pDelta,
                   const std::string& strTarget, std::string& strWhy) const;

    CKZGuarded<CKZPackFileArchive>& m_packs;
    bool m_bCheckDigest;
};
