#pragma once
// The pack file archive: the numbered cold storage containers p_00000000.csa, p_00000001.csa, ...
// of one directory opened together, with one index over every file they hold. It answers queries
// about packed files, extracts them and is an I/O interface, so that a packed file can be opened by
// path and read like a file on disk. A patch run rewrites the pack files that change.

#include "Base/Core/ColdStorageArchive/csatypes.h"
#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFile.h"
#include "Base/Core/KZIOInterface.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class CKZFileTimeCache;
class CKZPackFile;

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

// One pack file: its header values, its data file's shared read handle and its files.
class CKZPackFile
{
public:
    // Removes entry `index` from the list and renumbers the later ones; false when out of range.
    bool RemovePackedFile(unsigned int index);

    uint32_t m_dwFileVersion = 0;
    uint32_t m_dwFileStart = 0;
    uint32_t m_dwAlignment = 1;
    uint32_t m_dwNumFiles = 0;
    std::string m_strFileName;
    void* m_pFile = nullptr;   // lent to one reader at a time; null while lent
    bool m_bModified = false;  // the patch run rebuilds this pack
    std::vector<SKZPackedFile*> m_PackedFiles;
};

// One entry of a patch run: a file to put into (or move into) pack m_dwPackIndex.
struct SKZPatchFileInfo
{
    uint32_t m_dwPackIndex = 0;
    std::string m_strPath;
    bool m_bMove = false;
    bool m_bAdd = false;
};

class CKZPackFileArchive : public CKZIOInterface
{
public:
    // (true: the name is in the archive only; false: in the catalogue only, name)
    typedef std::function<void(bool, const std::string&)> DiffCallback;
    static constexpr uint32_t PATCH_BLOCK_SIZE = 8388608;

    CKZPackFileArchive();
    ~CKZPackFileArchive() override;
    CKZPackFileArchive(const CKZPackFileArchive&) = delete;
    CKZPackFileArchive& operator=(const CKZPackFileArchive&) = delete;

    bool OpenPackFile(const CKZPath& directory);
    bool ClosePackFileArchive();

    // By position; the indices must be valid.
    unsigned int GetPackFileCount() const { return static_cast<unsigned int>(m_PackFiles.size()); }
    unsigned int GetPackedFileCount(unsigned int pack) const;
    unsigned int GetTotalPackedFileCount() const;
    uint32_t GetPackedFileLength(unsigned int pack, unsigned int file) const;
    uint32_t GetPackedFileOffset(unsigned int pack, unsigned int file) const;
    uint32_t GetPackedFileCheckSum(unsigned int pack, unsigned int file) const;
    const char* GetPackedFilePath(unsigned int pack, unsigned int file) const;
    SKZFileTime GetPackedFileTime(unsigned int pack, unsigned int file) const;

    // By path: any path, reduced to an internal path against the root directory; 0 or null when
    // the file is not in the archive.
    SKZPackedFile* GetPackedFileByPath(const CKZPath& path) const;
    uint32_t GetPackedFileLength(const CKZPath& path) const;
    uint32_t GetPackedFileOffset(const CKZPath& path) const;
    uint32_t GetPackedFileCheckSum(const CKZPath& path) const;
    const char* GetPackedFilePath(const CKZPath& path) const;
    SKZFileTime GetPackedFileTime(const CKZPath& path) const;
    bool GetPackedFilePackFileIndex(unsigned int* pIndex, const CKZPath& path) const;
    // The number of the pack file that holds a packed file of this archive.
    unsigned int GetPackFileIndex(const SKZPackedFile& packed) const
    {
        return static_cast<unsigned int>(packed.m_pPackFile - m_PackFiles.data());
    }
    SKZPackedFile* GetPackedFileByInternalRelativePath(const std::string& strInternalRelativePath) const;
    // Gives a packed file the internal path it is stored under when its pack is next rebuilt (the
    // file name, and so the index key, stays the same); the pack on disk is left as it is. False
    // when the archive has no such file or the new path names another file.
    bool SetPackedFilePath(const std::string& strInternalRelativePath, const std::string& strNewPath);

    // The index key: the path's file name in ASCII lower case ("\" and "/" both separate).
    static std::string CreateMapKey(const std::string& strPath);
    // "%s_%08d.%s" of base, index and extension.
    static std::string CreateFileName(int index, const char* szBase, const char* szExtension);

    bool Extract(const CKZPath& directory);

    const std::string& GetRootDirectory() const { return m_strRootDirectory; }

    // The archive as an I/O interface over its packed files.
    void* Open(const char* szPath, const char* szMode) override;
    int Close(void* pHandle) override;
    int Read(void* pBuffer, int elementSize, int count, void* pHandle) override;
    int Write(const void* pBuffer, int elementSize, int count, void* pHandle) override;
    int Tell(void* pHandle) override;
    int Seek(void* pHandle, int offset, int origin) override;
    int KZEOF(void* pHandle) override;
    int GetLength(void* pHandle) override;
    bool Good(void* pHandle) const override;

    // The patch run.
    void PatchBegin();
    SKZPatchFileInfo& GetPatchFileInfo(unsigned int pack, const CKZPath& path);
    void AddPatchFile(unsigned int pack, const CKZPath& path);
    bool PatchMoveFile(unsigned int sourcePack, unsigned int targetPack, const CKZPath& path);
    // 1 removed, 0 not in the archive, -1 failure.
    int RemovePatchFile(const CKZPath& path);
    bool DoPatch(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount);
    void PatchEnd();
    bool ColdCompilerWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& entry);

    // Read without any lock while DoPatch runs on another thread.
    uint64_t GetPatchBytesDone() const { return m_dwPatchBytesDone.load(); }
    uint32_t GetPatchFilesDone() const { return m_dwPatchFilesDone; }
    uint32_t GetPatchPackLimit() const { return m_dwPatchPackLimit; }
    uint32_t GetPatchPacksWritten() const { return m_dwPatchPacksWritten; }
    uint32_t GetPatchPackCount() const { return m_dwPatchPackCount; }
    const std::vector<SKZPatchFileInfo>& GetPatchFiles() const { return m_PatchFiles; }
    bool IsPatchRunning() const { return m_pPatchMemoryBlock != nullptr; }

    static bool RemoveTemporaryPatchFiles(const CKZPath& directory, unsigned int count);
    // Completes the renames of a patch that was interrupted after all its pack files were rebuilt;
    // true when there was one to complete.
    static bool FinishInterruptedPatch(const CKZPath& directory);
    // A patch has written its commit: its rebuilt packs are complete and some may be renamed already.
    static bool HasCommittedPatch(const CKZPath& directory);
    static void RemovePackFiles(const CKZPath& directory, unsigned int first, unsigned int end);
    static bool CreateFromCacheFile(const CKZFileTimeCache& cacheFile, const CKZPath& sourceDirectory,
                                    const CKZPath& destinationDirectory, const CKZPath& baseDirectory);
    static int DiffAgainstCacheFile(const CKZPackFileArchive& archive, const CKZFileTimeCache& cacheFile,
                                    const DiffCallback& callback);

private:
    bool LoadPackHeader(CKZPackFile& pack);
    void MarkForPatch(unsigned int pack);
    bool RebuildPack(unsigned int pack, const CKZPath& packDirectory, const CKZPath& sourceDirectory,
                     const std::unordered_map<std::string, size_t>& lastEntries);
    bool CopyIntoContainer(std::fstream& stream, void* pSource, uint32_t dwLength, uint32_t* pCrc);
    uint32_t CopyInKernel(std::fstream& stream, void* pSource, uint32_t dwLength);

    std::atomic<uint64_t> m_dwPatchBytesDone;
    uint32_t m_dwPatchFilesDone = 0;
    uint32_t m_dwPatchPackLimit = 0;
    uint32_t m_dwPatchPacksWritten = 0;
    uint32_t m_dwPatchPackCount = 0;
    std::string m_strRootDirectory;
    std::vector<CKZPackFile> m_PackFiles;
    CKZIOInterface* m_pIOInterface;
    std::mutex m_Mutex;
    std::unordered_map<std::string, SKZPackedFile*> m_PackedFileMap;
    uint8_t* m_pPatchMemoryBlock = nullptr;
    std::vector<SKZPatchFileInfo> m_PatchFiles;
    // The container being rebuilt, written beside its stream by kernel copies (-1: not open yet).
    std::string m_strPatchTarget;
    int m_nPatchTargetFd = -1;
};
