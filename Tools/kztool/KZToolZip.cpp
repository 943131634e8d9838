// kztool zip: extract, list and write archives, and seal or open enciphered entries.

#include "KZTool.h"
#include "KZToolLastError.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Core/KZFile.h"

#include <cstdio>
#include <cstdlib>

namespace
{
void ShowProgress(void*, uint32_t dwDone, uint32_t dwTotal)
{
    fprintf(stderr, "\r%u / %u", dwDone, dwTotal);
}

int RunExtract(const std::vector<std::string>& args)
{
    if (args.empty() || args.size() > 2)
        return KZTool::Usage("zip extract");
    CKZZipFile zip;
    if (!zip.Open(args[0].c_str(), 1, nullptr, 0))
        return KZTool::Fail("cannot open " + args[0]);
    std::vector<std::string> vecWritten;
    KZTool::CLastError error;
    const bool bOK = zip.Extract(args.size() == 2 ? args[1].c_str() : nullptr, ShowProgress, nullptr, &vecWritten);
    fprintf(stderr, "\n");
    printf("path\n");
    for (const std::string& strPath : vecWritten)
        printf("%s\n", strPath.c_str());
    return bOK ? KZTool::RESULT_OK : KZTool::Fail(error.Explain("extraction failed: " + args[0]));
}

int RunList(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return KZTool::Usage("zip list");
    unzFile pFile = unzOpen(args[0].c_str());
    if (!pFile)
    {
        CKZZipFile zip;
        if (zip.Open(args[0].c_str(), 1, nullptr, 0)) // an archive without entries
        {
            printf("name\tsize\tcompressedSize\tcrc32\tdirectory\n");
            return KZTool::RESULT_OK;
        }
        return KZTool::Fail("cannot open " + args[0]);
    }
    printf("name\tsize\tcompressedSize\tcrc32\tdirectory\n");
    for (int result = unzGoToFirstFile(pFile); result == UNZ_OK; result = unzGoToNextFile(pFile))
    {
        unz_file_info info;
        char szName[256];
        if (unzGetCurrentFileInfo(pFile, &info, szName, sizeof(szName) - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        szName[info.size_filename < sizeof(szName) - 1 ? info.size_filename : sizeof(szName) - 1] = 0;
        printf("%s\t%lu\t%lu\t%08lx\t%d\n", szName, info.uncompressed_size, info.compressed_size, info.crc,
               IsDir(info) ? 1 : 0);
    }
    unzClose(pFile);
    return KZTool::RESULT_OK;
}

int RunAdd(const std::vector<std::string>& args)
{
    if (args.size() != 2 && args.size() != 3)
        return KZTool::Usage("zip add");
    CKZZipFile zip;
    if (!zip.Open(args[0].c_str(), 0, nullptr, 1))
        return KZTool::Fail("cannot write " + args[0]);
    const bool bDirectory = CKZFile::DirectoryExists(args[1].c_str());
    if (!zip.AddFile(args[1].c_str(), args.size() == 3 ? args[2].c_str() : nullptr, bDirectory))
        return KZTool::Fail("cannot add " + args[1]);
    return zip.Close() ? KZTool::RESULT_OK : KZTool::Fail("cannot finish " + args[0]);
}

int RunSeal(const std::vector<std::string>& args)
{
    if (args.size() != 4)
        return KZTool::Usage("zip seal");
    CKZZipFile zip;
    if (!zip.Open(args[0].c_str(), 0, nullptr, 0))
        return KZTool::Fail("cannot write " + args[0]);
    if (!zip.AddCryptoFile(args[1].c_str(), args[2].c_str(), args[3].c_str()))
        return KZTool::Fail("cannot seal " + args[1]);
    return zip.Close() ? KZTool::RESULT_OK : KZTool::Fail("cannot finish " + args[0]);
}

int RunUnseal(const std::vector<std::string>& args)
{
    if (args.size() != 3)
        return KZTool::Usage("zip unseal");
    CKZZipFile zip;
    if (!zip.Open(args[0].c_str(), 1, nullptr, 0))
        return KZTool::Fail("cannot open " + args[0]);
    uint32_t dwLength = 0;
    uint8_t* pData = zip.ExtractToMemory(static_cast<uint32_t>(atoi(args[1].c_str())), &dwLength);
    if (!pData)
        return KZTool::Fail("cannot open the entry of " + args[0]);
    CKZFile out;
    const bool bWritten = out.Open(args[2].c_str(), "wb") && out.Write(pData, 1, static_cast<int>(dwLength)) ==
                                                                  static_cast<int>(dwLength);
    free(pData);
    return bWritten ? KZTool::RESULT_OK : KZTool::Fail("cannot write " + args[2]);
}

const KZTool::CRegistration s_extract({"zip extract", "ZIP [DEST]", "extracts an archive (beside it by default)",
                                       RunExtract, {0}});
const KZTool::CRegistration s_list({"zip list", "ZIP", "lists the entries of an archive", RunList, {0}});
const KZTool::CRegistration s_add({"zip add", "ZIP FILE [NAME]", "adds a file or directory to an archive", RunAdd});
const KZTool::CRegistration s_seal({"zip seal", "ZIP FILE KEY KEY2", "writes a file as an enciphered entry", RunSeal,
                                    {1}});
const KZTool::CRegistration s_unseal({"zip unseal", "ZIP KEY2 OUT", "opens the enciphered entry of an archive",
                                      RunUnseal, {0}});
}
