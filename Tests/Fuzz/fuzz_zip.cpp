// A zip archive of arbitrary bytes: its entries looked up, its first entry read into memory (deciphered
// when enciphered) and the whole archive extracted beside itself, as the installer unpacks a
// downloaded zip. Nothing may be written outside the archive's fresh folder.
#include "Fuzz/KZFuzzSupport.h"
#include "Base/Archive/KZZipFile.h"

#include <cstring>
#include <unzip.h>

namespace
{
// The second key number of the enciphered entries in the seeds.
const uint32_t kSecondKey = 7;

// Entry names as the zip library lists them.
std::vector<std::string> EntryNames(const char* szArchive)
{
    std::vector<std::string> names;
    unzFile pFile = unzOpen(szArchive);
    if (!pFile)
        return names;
    for (int result = unzGoToFirstFile(pFile); result == UNZ_OK && names.size() < 4096; result = unzGoToNextFile(pFile))
    {
        char szName[1024] = {0};
        unz_file_info info;
        if (unzGetCurrentFileInfo(pFile, &info, szName, sizeof(szName) - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        names.emplace_back(szName);
    }
    unzClose(pFile);
    return names;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const std::filesystem::path run = KZFuzz::FreshDirectory("zip");
    const std::filesystem::path box = run / "box";
    std::filesystem::create_directories(box);
    const std::string strArchive = (box / "in.zip").string();
    KZFuzz::WriteFile(strArchive, pData, size);

    const std::vector<std::string> names = EntryNames(strArchive.c_str());
    std::vector<std::filesystem::path> absolutes;
    for (const std::string& strName : names)
    {
        CKZZipFile::GetChecksumFromZip(strArchive.c_str(), strName.c_str());
        // A name that is an absolute path must not come into being by the extraction.
        if (!strName.empty() && (strName[0] == '/' || strName[0] == '\\') && !std::filesystem::exists(strName))
            absolutes.emplace_back(strName);
    }
    {
        CKZZipFile zip;
        if (zip.Open(strArchive.c_str(), 1, nullptr, 0))
        {
            uint32_t dwLength = 0;
            free(zip.ExtractToMemory(kSecondKey, &dwLength));
        }
    }
    {
        CKZZipFile zip;
        if (zip.Open(strArchive.c_str(), 1, nullptr, 0))
        {
            std::vector<std::string> written;
            zip.Extract(nullptr, KZZipFileNoopProgressCallback, nullptr, &written);
            // The paths the extraction reports lie in the archive's folder too.
            const std::string strBox = std::filesystem::weakly_canonical(box).string() + "/";
            for (const std::string& strPath : written)
                if (std::filesystem::weakly_canonical(std::filesystem::absolute(strPath)).string().compare(
                        0, strBox.size(), strBox) != 0)
                    KZFuzz::Finding("a written path outside the folder: " + strPath);
        }
    }
    KZFuzz::ExpectOnlyBelow(run, {"box/"});
    for (const std::string& strName : KZFuzz::Tree(box))
        if (std::filesystem::is_symlink(box / strName))
            KZFuzz::Finding("a symbolic link was extracted: " + strName);
    for (const std::filesystem::path& path : absolutes)
        if (std::filesystem::exists(path))
            KZFuzz::Finding("an absolute entry name was written: " + path.string());
    return 0;
}
