#include "System/KZInstallLayout.h"

#include <algorithm>
#include <cstdio>

namespace KZInstallLayout
{
const char* const kPackDirectory = "PackFiles";
const char* const kCacheName = "Data";
const char* const kCatalogueName = "Data.ccx";
const char* const kOldCatalogueName = "Data.cch";
const char* const kUpdateName = "Data.update";
const char* const kStageCatalogueName = "Data.temp";
const char* const kLockName = "Data.lock";
const char* const kResumeName = "Data.resume";
const char* const kAcceptedReleaseName = "Data.release";
const char* const kManifestName = "Data.manifest";
const char* const kDeltaIndexName = "Data.deltas";
const char* const kClientZipName = "TVKClientOSX.zip";
const char* const kClientAppName = "TVKClient.app";
const char* const kRecordPrefix = "Data/";
const char* const kPackBase = "p";
const char* const kTemporaryPackBase = "p_tmp";
const char* const kPackExtension = "csa";
const char* const kPackHeaderSuffix = "header";
const char* const kPatchCommitName = "p_tmp_commit";

namespace
{
std::string Backslashed(std::string strPath)
{
    std::replace(strPath.begin(), strPath.end(), '/', '\\');
    return strPath;
}

bool HasRecordPrefix(const std::string& strRecordPath)
{
    return strRecordPath.compare(0, 5, kRecordPrefix) == 0 && strRecordPath.size() > 5;
}
} // namespace

std::string PackedPathOfRecord(const std::string& strRecordPath)
{
    return HasRecordPrefix(strRecordPath) ? Backslashed(strRecordPath.substr(5)) : std::string();
}

std::string OldPackedPathOfRecord(const std::string& strRecordPath)
{
    return Backslashed(strRecordPath);
}

std::string RecordPathOfPacked(const std::string& strPackedPath)
{
    std::string strPath = strPackedPath;
    std::replace(strPath.begin(), strPath.end(), '\\', '/');
    return strPath.compare(0, 5, kRecordPrefix) == 0 ? strPath : kRecordPrefix + strPath;
}

EPackedPathMatch MatchPackedPath(const std::string& strPackedPath, const std::string& strRecordPath)
{
    const std::string strPacked = Backslashed(strPackedPath);
    if (HasRecordPrefix(strRecordPath) && strPacked == PackedPathOfRecord(strRecordPath))
        return PACKED_PATH_MATCHES;
    if (strPacked == OldPackedPathOfRecord(strRecordPath))
        return PACKED_PATH_MATCHES_OLD;
    return PACKED_PATH_DIFFERS;
}

std::string PackFileName(int index, const char* szBase, const char* szExtension)
{
    char szName[520];
    snprintf(szName, sizeof(szName), "%s_%08d.%s", szBase, index, szExtension);
    return szName;
}

std::string PackName(unsigned int pack)
{
    return PackFileName(static_cast<int>(pack), kPackBase, kPackExtension);
}

std::string TemporaryPackName(unsigned int pack)
{
    return PackFileName(static_cast<int>(pack), kTemporaryPackBase, kPackExtension);
}

std::string PackHeaderName(const std::string& strPackName)
{
    return strPackName + kPackHeaderSuffix;
}

std::string FullInstallZipName(unsigned int zip)
{
    return kCacheName + std::to_string(zip) + ".zip";
}

std::string UpdateZipName(const std::string& strName)
{
    return std::string(kCacheName) + "/" + strName + ".zip";
}

std::string DeltaName(const std::string& strName, uint32_t dwBaseCrc)
{
    char szCrc[9];
    snprintf(szCrc, sizeof(szCrc), "%08x", dwBaseCrc);
    return std::string(kCacheName) + "/" + strName + "." + szCrc + ".delta";
}
} // namespace KZInstallLayout
