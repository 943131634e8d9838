#pragma once
// A patch run over the packs of an index: the entries the caller records (files to put into a
// pack, to move into another, to drop), the plan made of them, and the rebuild of every pack that
// changes into its temporary container beside the old one. Kept and moved files are copied
// straight out of the old pack data, large ones inside the kernel where the file system allows;
// new files come from disk through one 8 MiB block, their checksums taken on the way.

#include "Base/Core/ColdStorageArchive/csatypes.h"
#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFileDescriptor.h"
#include "System/KZPackIndex.h"

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class CKZFileTimeCache;

// One entry of a patch run: a file to put into (or move into) pack m_dwPackIndex.
struct SKZPatchFileInfo
{
    uint32_t m_dwPackIndex = 0;
    std::string m_strPath;
    bool m_bMove = false;
    bool m_bAdd = false;
};

class CKZPackRebuilder
{
public:
    static constexpr uint32_t PATCH_BLOCK_SIZE = 8388608;

    explicit CKZPackRebuilder(CKZPackIndex& index) : m_Index(index) {}
    CKZPackRebuilder(const CKZPackRebuilder&) = delete;
    CKZPackRebuilder& operator=(const CKZPackRebuilder&) = delete;

    // A run lasts from PatchBegin until EndRun, which releases the block and forgets which packs
    // the run marked; the entries stay until PatchEnd.
    void PatchBegin();
    void EndRun();
    bool IsPatchRunning() const { return m_pPatchMemoryBlock != nullptr; }

    SKZPatchFileInfo& GetPatchFileInfo(unsigned int pack, const CKZPath& path);
    void AddPatchFile(unsigned int pack, const CKZPath& path);
    bool PatchMoveFile(unsigned int sourcePack, unsigned int targetPack, const CKZPath& path);
    // 1 removed, 0 not in the index, -1 failure.
    int RemovePatchFile(const CKZPath& path);
    void PatchEnd() { m_PatchFiles.clear(); }
    // The run rebuilds this pack of the index, as far as it is marked so far.
    bool IsMarkedForPatch(unsigned int pack) const { return m_setMarkedPacks.count(pack) != 0; }
    // Asked before each file a rebuild copies: true stops the rebuild there, before its commit.
    void SetCancelCheck(std::function<bool()> cancelled) { m_cancelled = std::move(cancelled); }

    // Writes the temporary of every pack below packCount that changes and counts the others as
    // done; false at the first failure, the old packs untouched.
    bool RebuildPacks(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount);
    // The write function of a rebuild's store.
    bool ColdCompilerWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& entry);

    // Every pack of a catalogue built from the files on disk, grouped by the records' zip index.
    static bool CreateFromCacheFile(const CKZFileTimeCache& cacheFile, const CKZPath& sourceDirectory,
                                    const CKZPath& destinationDirectory, const CKZPath& baseDirectory);

    // Read without any lock while a rebuild runs on another thread.
    uint64_t GetPatchBytesDone() const { return m_dwPatchBytesDone.load(); }
    uint32_t GetPatchFilesDone() const { return m_dwPatchFilesDone; }
    uint32_t GetPatchPackLimit() const { return m_dwPatchPackLimit; }
    uint32_t GetPatchPacksWritten() const { return m_dwPatchPacksWritten; }
    const std::vector<SKZPatchFileInfo>& GetPatchFiles() const { return m_PatchFiles; }

private:
    typedef std::unordered_map<std::string, size_t> LastEntries;

    void MarkForPatch(unsigned int pack);
    bool TakeOutReplacedFiles(std::vector<bool>& rebuild);
    void KeepOtherFiles(const CKZPath& sourceDirectory);
    bool RebuildPack(unsigned int pack, const CKZPath& packDirectory, const CKZPath& sourceDirectory,
                     const LastEntries& lastEntries);
    std::optional<CKZPackReader> OpenSource(const char* szSourcePath, CSA_FILEINFO& entry, bool& bNew) const;
    bool CopyIntoContainer(std::fstream& stream, CKZPackReader& source, uint32_t dwLength, uint32_t* pCrc);
    uint32_t CopyInKernel(std::fstream& stream, CKZPackReader& source, uint32_t dwLength);

    struct SBlockDeleter
    {
        void operator()(uint8_t* pBlock) const;
    };

    CKZPackIndex& m_Index;
    std::atomic<uint64_t> m_dwPatchBytesDone{0};
    uint32_t m_dwPatchFilesDone = 0;
    uint32_t m_dwPatchPackLimit = 0;
    uint32_t m_dwPatchPacksWritten = 0;
    std::unique_ptr<uint8_t, SBlockDeleter> m_pPatchMemoryBlock;
    std::vector<SKZPatchFileInfo> m_PatchFiles;
    std::set<unsigned int> m_setMarkedPacks; // packs of the index the run must rebuild
    std::function<bool()> m_cancelled;
    // The container being rebuilt, written beside its stream by kernel copies (opened at the first).
    std::string m_strPatchTarget;
    CKZFileDescriptor m_PatchTarget;
};
