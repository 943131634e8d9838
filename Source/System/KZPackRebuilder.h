#pragma once
// A patch run over the packs of an index: the entries the caller records (files to put into a
// pack, to move into another, to drop), the plan made of them, and the update of every pack that
// changes. A pack is updated where it lies when that leaves little dead space: the new and moved-in
// files are appended to its data file (to a clone of it where the file system can clone, else to the
// data file itself, whose old header names only bytes below the old end) and only a new header is
// written, as the temporary header beside the old one. Otherwise, and for packs that are new, the
// pack is rebuilt compactly into its temporary container. Kept and moved files are copied straight
// out of the old pack data, large ones inside the kernel where the file system allows; new files
// come from disk through one 8 MiB block, their checksums taken on the way.

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

    // Writes the temporary of every pack below packCount that changes (a whole container, or only a
    // header for a pack appended to) and counts the others as done; false at the first failure, with
    // every appended data file cut back to its old end and every old header as it was.
    bool RebuildPacks(const CKZPath& packDirectory, const CKZPath& sourceDirectory, unsigned int packCount);
    // After RebuildPacks succeeded but the commit could not begin (no marker): the data files this
    // run appended to are cut back to their old ends. Forgotten at the next PatchBegin.
    void RollBackAppends();

    // An update leaves dead space in a data file; once more than this share of it would be dead,
    // the pack is rebuilt compactly instead.
    static constexpr unsigned int kMaxDeadPercent = 25;
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
    // Packs of the last run updated by appending (in place or to a clone) rather than rebuilt.
    uint32_t GetPatchPacksAppended() const { return m_dwPatchPacksAppended; }
    const std::vector<SKZPatchFileInfo>& GetPatchFiles() const { return m_PatchFiles; }

private:
    typedef std::unordered_map<std::string, size_t> LastEntries;

    // One file of a pack's new directory, in directory order: its grocery texts as a rebuild stores
    // them, and its copy in the index when it has one (a kept or moved file).
    struct SPackEntry
    {
        std::string m_strInternalPath;
        std::string m_strSourcePath;
        const SKZPackedFile* m_pPacked = nullptr;
        bool m_bInPlace = false; // kept in this very pack: an append leaves its bytes where they are
    };
    // Where an append to a pack's data file starts, as measured when it was chosen.
    struct SAppendPlan
    {
        std::string m_strDataPath;
        uint64_t m_qwOldEnd = 0;
        uint16_t m_wAlignment = 1;
    };
    struct SAppendedFile
    {
        std::string m_strPath;
        uint64_t m_qwOldEnd;
    };

    void MarkForPatch(unsigned int pack);
    bool TakeOutReplacedFiles(std::vector<bool>& rebuild);
    void KeepOtherFiles(const CKZPath& sourceDirectory);
    std::vector<SPackEntry> PackEntries(unsigned int pack, const CKZPath& sourceDirectory,
                                        const LastEntries& lastEntries) const;
    const SKZPackedFile* FindPacked(const std::string& strSourcePath) const;
    bool ChooseAppend(unsigned int pack, const CKZPath& packDirectory, const std::vector<SPackEntry>& entries,
                      SAppendPlan& plan) const;
    bool RebuildPack(unsigned int pack, const CKZPath& packDirectory, const std::vector<SPackEntry>& entries);
    bool AppendToPack(unsigned int pack, const CKZPath& packDirectory, const std::vector<SPackEntry>& entries,
                      const SAppendPlan& plan);
    bool AppendFile(int fdTarget, uint64_t& qwOffset, uint16_t wAlignment, const SPackEntry& entry, CSA_FILEINFO& info);
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
    uint32_t m_dwPatchPacksAppended = 0;
    // Live data files this run appended to, to cut back should the run end before its commit.
    std::vector<SAppendedFile> m_vecAppended;
    std::unique_ptr<uint8_t, SBlockDeleter> m_pPatchMemoryBlock;
    std::vector<SKZPatchFileInfo> m_PatchFiles;
    std::set<unsigned int> m_setMarkedPacks; // packs of the index the run must rebuild
    std::function<bool()> m_cancelled;
    // The container being rebuilt, written beside its stream by kernel copies (opened at the first).
    std::string m_strPatchTarget;
    CKZFileDescriptor m_PatchTarget;
};
