#pragma once
// The index of a pack directory: the numbered packs p_00000000.csa, p_00000001.csa, ... found in it
// with their header checks, every packed file they hold (held by value), and the map from a file
// name to its packed file. Each pack's data file is opened once, here; readers share it.

#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFile.h"
#include "System/KZPackReader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class CKZIOInterface;
class CKZPackFile;
struct CSA_FILEINFO;

// One file inside a pack file, as its directory entry describes it.
struct SKZPackedFile
{
    CKZPackFile* m_pPackFile = nullptr;
    std::string m_strPath; // internal path, "\" separators
    uint32_t m_dwOffset = 0;
    uint32_t m_dwLength = 0;
    uint32_t m_dwCheckSum = 0;
    int32_t m_nIndex = -1; // position in the pack's list
    SKZFileTime m_FileTime;
};

// One pack file: its name, its data file and its files in directory order.
class CKZPackFile
{
public:
    // Removes entry `index` from the list and renumbers the later ones; false when out of range.
    bool RemovePackedFile(unsigned int index);

    std::string m_strFileName;
    std::shared_ptr<const CKZFileDescriptor> m_pData;
    std::vector<SKZPackedFile> m_PackedFiles;
    // From its header: an update that appends to the data file keeps them.
    uint32_t m_dwFileVersion = 0;
    uint16_t m_wMode = 0;
    uint16_t m_wAlignment = 0;
};

class CKZPackIndex
{
public:
    // Headers are read through this interface.
    explicit CKZPackIndex(CKZIOInterface& headerInterface) : m_HeaderInterface(headerInterface) {}
    CKZPackIndex(const CKZPackIndex&) = delete;
    CKZPackIndex& operator=(const CKZPackIndex&) = delete;

    // Finds the packs of a directory (up to the first number without a header file) and checks
    // each header; false, and the index left empty, when there is none or one is refused.
    bool Open(const CKZPath& directory);
    void Close();

    const std::string& GetRootDirectory() const { return m_strRootDirectory; }
    unsigned int GetPackCount() const { return static_cast<unsigned int>(m_PackFiles.size()); }
    const CKZPackFile& GetPack(unsigned int pack) const { return m_PackFiles[pack]; }
    unsigned int GetTotalPackedFileCount() const;
    // The number of the pack that holds a packed file of this index.
    unsigned int GetPackIndex(const SKZPackedFile& packed) const
    {
        return static_cast<unsigned int>(packed.m_pPackFile - m_PackFiles.data());
    }

    // By internal path ("\" separators) or by any path, reduced against the root directory; null
    // when no packed file has that file name.
    SKZPackedFile* GetPackedFileByInternalRelativePath(const std::string& strInternalRelativePath) const;
    SKZPackedFile* GetPackedFileByPath(const CKZPath& path) const;
    SKZPackedFile* FindByKey(const std::string& strKey) const;
    // Gives a packed file another internal path with the same file name.
    bool SetPackedFilePath(const std::string& strInternalRelativePath, const std::string& strNewPath);
    // Drops a packed file from its pack's list and from the map; false when its pack's list did
    // not hold it (the map forgets it all the same). Later files of its pack move up.
    bool Remove(SKZPackedFile& packed);

    CKZPackReader OpenReader(const SKZPackedFile& packed) const;

    // The map key: the path's file name in ASCII lower case ("\" and "/" both separate).
    static std::string CreateMapKey(const std::string& strPath);

private:
    bool AddPack(const std::string& strName);
    bool LoadPackHeader(CKZPackFile& pack);
    bool AddPackedFile(CKZPackFile& pack, const CSA_FILEINFO& info, int64_t qwDataLength);

    CKZIOInterface& m_HeaderInterface;
    std::string m_strRootDirectory;
    std::vector<CKZPackFile> m_PackFiles;
    std::unordered_map<std::string, SKZPackedFile*> m_PackedFileMap;
};
