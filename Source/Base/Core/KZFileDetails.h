#pragma once
// One entry of the client-file catalogue: name, place under the game root, time, checksums, sizes,
// download stage and the zip that carries the file.

#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFile.h"
#include "Base/Serialize/KZSerialize.h"

#include <cstdint>
#include <string>

class CKZFileDetails : public IKZSerializable
{
public:
    CKZFileDetails() = default;
    // Note the order: user data comes before stage and zip index.
    CKZFileDetails(const char* szName, const char* szPath, const SKZFileTime& time, uint32_t dwOriginalCrc,
                   uint32_t dwExportedCrc, int32_t iPrio, uint32_t dwSize, uint32_t dwCompressedSize,
                   uint32_t dwUserData, uint32_t dwStage, uint32_t dwZipIndex);
    ~CKZFileDetails() override = default;

    void Serialize(CKZSerializer* pSerializer) override;
    std::string GetRelativePath() const;
    CKZPath GetPath(const CKZPath& root) const;

    std::string m_strName;
    std::string m_strStagePath;
    SKZFileTime m_Time;
    uint32_t m_dwOriginalCrc = 0;
    uint32_t m_dwExportedCrc = 0;
    int32_t m_iPrio = 0;
    uint32_t m_dwSize = 0;
    uint32_t m_dwCompressedSize = 0;
    uint32_t m_dwStage = 0;
    uint32_t m_dwZipIndex = 0;
    uint32_t m_dwUserData = 0;
    std::string m_strFilePath;
};
