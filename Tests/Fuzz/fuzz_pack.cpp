// The pack directory opened over one container of arbitrary bytes, every packed file read through
// the archive, and the archive extracted: nothing may be written outside the destination.
// Input: a little-endian u16 header length, the header file, then the data file.
#include "Fuzz/KZFuzzSupport.h"
#include "System/KZPackFileArchive.h"

#include <zlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    if (size < 2)
        return 0;
    const size_t headerLength = std::min<size_t>(pData[0] | pData[1] << 8, size - 2);
    const std::filesystem::path run = KZFuzz::FreshDirectory("pack");
    const std::filesystem::path packs = run / "PackFiles";
    std::filesystem::create_directories(packs);
    const std::string strPack = (packs / CKZPackFileArchive::CreateFileName(0, "p", "csa")).string();
    KZFuzz::WriteFile(strPack + "header", pData + 2, headerLength);
    KZFuzz::WriteFile(strPack, pData + 2 + headerLength, size - 2 - headerLength);

    CKZPackFileArchive archive;
    if (!archive.OpenPackFile(CKZPath(packs.string() + "/")))
        return 0;
    for (unsigned pack = 0; pack < archive.GetPackFileCount(); ++pack)
        for (unsigned file = 0; file < archive.GetPackedFileCount(pack); ++file)
        {
            const char* szPath = archive.GetPackedFilePath(pack, file);
            if (!szPath)
                KZFuzz::Finding("a packed file without a path");
            archive.GetPackedFileTime(pack, file);
            CKZFile packed(archive);
            if (packed.OpenInMemory(szPath) && packed.GetFileStartPtr())
                crc32(0L, static_cast<const Bytef*>(packed.GetFileStartPtr()),
                      static_cast<uInt>(std::max(packed.GetLength(), 0)));
        }
    const std::filesystem::path destination = run / "dest" / "out";
    archive.Extract(CKZPath(destination.string() + "/"));
    archive.ClosePackFileArchive();
    KZFuzz::ExpectOnlyBelow(run, {"PackFiles", "PackFiles/p_00000000.csa", "PackFiles/p_00000000.csaheader", "dest", "dest/out/"});
    return 0;
}
