// The catalogue loader over a cache file of arbitrary bytes, as the installer reads Data.ccx.
#include "Fuzz/KZFuzzSupport.h"
#include "System/Util/KZFileTimeCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const std::filesystem::path path = KZFuzz::ScratchDirectory() / "Data.ccx";
    KZFuzz::WriteFile(path, pData, size);
    CKZFileTimeCache cache;
    if (!cache.Initialize(path.c_str(), nullptr, nullptr))
    {
        if (!cache.GetRawData().empty())
            KZFuzz::Finding("a refused catalogue keeps records");
        return 0;
    }
    bool bEveryPath = true;
    for (const auto& entry : cache.GetRawData())
    {
        if (!entry.second || entry.first.size() > 255)
            KZFuzz::Finding("a record without details or with an overlong name");
        cache.GetDownloadStage(entry.first.c_str());
        bEveryPath = bEveryPath && !entry.second->m_strFilePath.empty();
    }
    // A catalogue whose records all have paths saves (as the current version) and loads again.
    // Older versions may lack the paths that the current one requires.
    if (!bEveryPath)
        return 0;
    const std::filesystem::path copy = KZFuzz::ScratchDirectory() / "Copy.ccx";
    if (!cache.SaveCache(copy.c_str()))
        return 0;
    CKZFileTimeCache reloaded;
    if (!reloaded.Initialize(copy.c_str(), nullptr, nullptr) || reloaded.GetRawData().size() != cache.GetRawData().size())
        KZFuzz::Finding("a saved catalogue does not load again");
    return 0;
}
