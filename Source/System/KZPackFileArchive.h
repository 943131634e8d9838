#pragma once
// The pack file archive: the numbered cold storage containers p_00000000.csa, p_00000001.csa, ...
// of one directory opened together, with one index over every file they hold. It answers queries
// about packed files, extracts them and is an I/O interface, so that a packed file can be opened by
// path and read like a file on disk. A patch run updates the pack files that change.
//
// The archive puts together the pieces that do the work: the index of the packs (CKZPackIndex), a
// reader of its own for every file opened through the interface (CKZPackReader), the rebuilder of
// a patch run (CKZPackRebuilder) and the commit that puts the rebuilt packs into place
// (CKZPackCommit).

#include "Base/Core/ColdStorageArchive/csatypes.h"
#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFile.h"
#include "Base/Core/KZIOInterface.h"
#include "Base/Core/KZMappedRegion.h"
#include "System/KZPackIndex.h"
#include "System/KZPackRebuilder.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CKZFileTimeCache;

class CKZPackFileArchive : public CKZIOInterface
{
public:
    // (true: the name is in the archive only; false: in the catalogue only, name)
    typedef std::function<void(bool, const std::string&)> DiffCallback;
    static constexpr uint32_t PATCH_BLOCK_SIZE = CKZPackRebuilder::PATCH_BLOCK_SIZE;

    CKZPackFileArchive();
    ~CKZPackFileArchive() override;
    CKZPackFileArchive(const CKZPackFileArchive&) = delete;
    CKZPackFileArchive& operator=(const CKZPackFileArchive&) = delete;

    bool OpenPackFile(const CKZPath& directory);
    bool ClosePackFileArchive();

    // By position; the indices must be valid.
    unsigned int GetPackFileCount() const { return m_Index.GetPackCount(); }
    unsigned int GetPackedFileCount(unsigned int pack) const;
    unsigned int GetTotalPackedFileCount() const { return m_Index.GetTotalPackedFileCount(); }
    uint32_t GetPackedFileLength(unsigned int pack, unsigned int file) const { return Packed(pack, file).m_dwLength; }
    uint32_t GetPackedFileOffset(unsigned int pack, unsigned int file) const { return Packed(pack, file).m_dwOffset; }
    uint32_t GetPackedFileCheckSum(unsigned int pack, unsigned int file) const { return Packed(pack, file).m_dwCheckSum; }
    const char* GetPackedFilePath(unsigned int pack, unsigned int file) const { return Packed(pack, file).m_strPath.c_str(); }
    SKZFileTime GetPackedFileTime(unsigned int pack, unsigned int file) const { return Packed(pack, file).m_FileTime; }

    // By path: any path, reduced to an internal path against the root directory; 0 or null when
    // the file is not in the archive.
    SKZPackedFile* GetPackedFileByPath(const CKZPath& path) const { return m_Index.GetPackedFileByPath(path); }
    uint32_t GetPackedFileLength(const CKZPath& path) const;
    uint32_t GetPackedFileOffset(const CKZPath& path) const;
    uint32_t GetPackedFileCheckSum(const CKZPath& path) const;
    const char* GetPackedFilePath(const CKZPath& path) const;
    SKZFileTime GetPackedFileTime(const CKZPath& path) const;
    bool GetPackedFilePackFileIndex(unsigned int* pIndex, const CKZPath& path) const;
    // The number of the pack file that holds a packed file of this archive.
    unsigned int GetPackFileIndex(const SKZPackedFile& packed) const { return m_Index.GetPackIndex(packed); }
    SKZPackedFile* GetPackedFileByInternalRelativePath(const std::string& strInternalRelativePath) const
    {
        return m_Index.GetPackedFileByInternalRelativePath(strInternalRelativePath);
    }
    // Gives a packed file the internal path it is stored under when its pack is next rebuilt (the
    // file name, and so the index key, stays the same); the pack on disk is left as it is. False
    // when the archive has no such file or the new path names another file.
    bool SetPackedFilePath(const std::string& strInternalRelativePath, const std::string& strNewPath)
    {
        return m_Index.SetPackedFilePath(strInternalRelativePath, strNewPath);
    }

    // The index key: the path's file name in ASCII lower case ("\" and "/" both separate).
    static std::string CreateMapKey(const std::string& strPath) { return CKZPackIndex::CreateMapKey(strPath); }
    // "%s_%08d.%s" of base, index and extension.
    static std::string CreateFileName(int index, const char* szBase, const char* szExtension);

    bool Extract(const CKZPath& directory);
    // A packed file's bytes in place in its pack's data file, mapped rather than copied; the view
    // outlives the archive and a patch run that replaces the pack. False when it cannot be mapped.
    bool MapPackedFile(const SKZPackedFile& packed, CKZMappedRegion& region) const;

    const std::string& GetRootDirectory() const { return m_Index.GetRootDirectory(); }

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
    void PatchBegin() { m_Rebuilder.PatchBegin(); }
    SKZPatchFileInfo& GetPatchFileInfo(unsigned int pack, const CKZPath& path)
    {
        return m_Rebuilder.GetPatchFileInfo(pack, path);
    }
    void AddPatchFile(unsigned int pack, const CKZPath& path) { m_Rebuilder.AddPatchFile(pack, path); }
    bool PatchMoveFile(unsigned int sourcePack, unsigned int targetPack, const CKZPath& path)
    {
        return m_Rebuilder.PatchMoveFile(sourcePack, targetPack, path);
    }
    // 1 removed, 0 not in the archive, -1 failure.
    int RemovePatchFile(const CKZPath& path) { return m_Rebuilder.RemovePatchFile(path); }
    bool DoPatch(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount);
    void PatchEnd() { m_Rebuilder.PatchEnd(); }
    bool IsPackMarkedForPatch(unsigned int pack) const { return m_Rebuilder.IsMarkedForPatch(pack); }
    // Asked before each file a rebuild copies: true stops DoPatch there, before its commit.
    void SetCancelCheck(std::function<bool()> cancelled) { m_Rebuilder.SetCancelCheck(std::move(cancelled)); }
    bool ColdCompilerWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& entry)
    {
        return m_Rebuilder.ColdCompilerWriteFile(csa, grocery, lengths, entry);
    }

    // Read without any lock while DoPatch runs on another thread.
    uint64_t GetPatchBytesDone() const { return m_Rebuilder.GetPatchBytesDone(); }
    uint32_t GetPatchFilesDone() const { return m_Rebuilder.GetPatchFilesDone(); }
    uint32_t GetPatchPackLimit() const { return m_Rebuilder.GetPatchPackLimit(); }
    uint32_t GetPatchPacksWritten() const { return m_Rebuilder.GetPatchPacksWritten(); }
    uint32_t GetPatchPacksAppended() const { return m_Rebuilder.GetPatchPacksAppended(); }
    const std::vector<SKZPatchFileInfo>& GetPatchFiles() const { return m_Rebuilder.GetPatchFiles(); }
    bool IsPatchRunning() const { return m_Rebuilder.IsPatchRunning(); }

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
    const SKZPackedFile& Packed(unsigned int pack, unsigned int file) const
    {
        return m_Index.GetPack(pack).m_PackedFiles[file];
    }
    bool ExtractPackedFile(const SKZPackedFile& packed, unsigned int pack, const CKZPath& directory);

    CKZIOInterface* m_pIOInterface;
    CKZPackIndex m_Index;
    CKZPackRebuilder m_Rebuilder;
};
