// kztool zip: extract, list and write archives, and seal or open enciphered entries.

#include "KZTool.h"
#include "KZToolLastError.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Core/KZFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace
{
void ShowProgress(void*, uint32_t dwDone, uint32_t dwTotal)
{
    fprintf(stderr, "\r%u / %u", dwDone, dwTotal);
}

int RunExtract(const CKZToolArguments& arguments)
{
    CKZZipFile zip;
    if (!zip.Open(arguments[0].c_str(), 1, nullptr, 0))
        return KZTool::Fail("cannot open " + arguments[0] + ": not a zip archive");
    std::vector<std::string> vecWritten;
    KZTool::CLastError error;
    const char* szDestination = arguments.Count() == 2 ? arguments[1].c_str() : nullptr;
    const bool bOK = zip.Extract(szDestination, ShowProgress, nullptr, &vecWritten);
    fprintf(stderr, "\n");
    printf("path\n");
    for (const std::string& strPath : vecWritten)
        printf("%s\n", strPath.c_str());
    return bOK ? KZTool::RESULT_OK : KZTool::Fail(error.Explain("extraction failed: " + arguments[0]));
}

int RunList(const CKZToolArguments& arguments)
{
    unzFile pFile = unzOpen(arguments[0].c_str());
    if (!pFile)
    {
        CKZZipFile zip;
        if (zip.Open(arguments[0].c_str(), 1, nullptr, 0)) // an archive without entries
        {
            printf("name\tsize\tcompressedSize\tcrc32\tdirectory\n");
            return KZTool::RESULT_OK;
        }
        return KZTool::Fail("cannot open " + arguments[0]);
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

// A folder's files below its name in the archive (or below NAME), in path order.
std::vector<std::pair<std::string, std::string>> FolderEntries(const std::string& strFolder, const std::string& strPrefix,
                                                               std::string& strError)
{
    std::vector<std::pair<std::string, std::string>> vecEntries;
    std::error_code error;
    const std::filesystem::path folder(strFolder);
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error))
            vecEntries.emplace_back(it->path().string(),
                                    strPrefix + "/" + it->path().lexically_relative(folder).generic_string());
    if (error)
        strError = strFolder + ": " + error.message();
    std::sort(vecEntries.begin(), vecEntries.end());
    return vecEntries;
}

int RunAdd(const CKZToolArguments& arguments)
{
    const std::string& strZip = arguments[0];
    const std::string& strSource = arguments[1];
    const std::string strName = arguments.Count() == 3 ? arguments[2] : std::string();
    const bool bFolder = CKZFile::DirectoryExists(strSource.c_str());
    std::vector<std::pair<std::string, std::string>> vecEntries;
    if (bFolder)
    {
        const std::filesystem::path folder = std::filesystem::path(strSource).lexically_normal();
        std::string strPrefix = arguments.Count() == 3 ? strName : folder.filename().string();
        if (strPrefix.empty())
            strPrefix = folder.parent_path().filename().string();
        std::string strError;
        vecEntries = FolderEntries(strSource, strPrefix, strError);
        if (!strError.empty())
            return KZTool::Fail("cannot read " + strError);
    }
    else
    {
        const std::string strProblem = KZTool::InputFileProblem(strSource);
        if (!strProblem.empty())
            return KZTool::Fail(strProblem);
        vecEntries.emplace_back(strSource, strName);
    }
    const bool bExisted = CKZFile::FileExists(strZip);
    CKZZipFile zip;
    errno = 0;
    if (!zip.Open(strZip.c_str(), 0, nullptr, 1))
        return KZTool::Fail("cannot write " + KZTool::SystemReason(strZip, errno ? errno : EINVAL));
    for (const auto& entry : vecEntries)
    {
        errno = 0;
        if (!zip.AddFile(entry.first.c_str(), entry.second.empty() ? nullptr : entry.second.c_str(), false))
        {
            const int error = errno;
            zip.Close();
            if (!bExisted)
                remove(strZip.c_str());
            return KZTool::Fail("cannot add " + KZTool::SystemReason(entry.first, error ? error : EIO));
        }
    }
    errno = 0;
    return zip.Close() ? KZTool::RESULT_OK
                       : KZTool::Fail("cannot finish " + KZTool::SystemReason(strZip, errno ? errno : EIO));
}

int RunSeal(const CKZToolArguments& arguments)
{
    const long long key = arguments.NumberAt(2), secondKey = arguments.NumberAt(3);
    CKZZipFile zip;
    errno = 0;
    if (!zip.Open(arguments[0].c_str(), 0, nullptr, 0))
        return KZTool::Fail("cannot write " + KZTool::SystemReason(arguments[0], errno ? errno : EINVAL));
    // The cipher takes its keys as 32-bit words.
    const std::string strKey = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(key)));
    const std::string strSecondKey = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(secondKey)));
    if (!zip.AddCryptoFile(arguments[1].c_str(), strKey.c_str(), strSecondKey.c_str()))
    {
        zip.Close();
        remove(arguments[0].c_str());
        return KZTool::Fail("cannot seal " + arguments[1]);
    }
    return zip.Close() ? KZTool::RESULT_OK : KZTool::Fail("cannot finish " + arguments[0]);
}

int RunUnseal(const CKZToolArguments& arguments)
{
    const long long secondKey = arguments.NumberAt(1);
    CKZZipFile zip;
    if (!zip.Open(arguments[0].c_str(), 1, nullptr, 0))
        return KZTool::Fail("cannot open " + arguments[0]);
    uint32_t dwLength = 0;
    uint8_t* pData = zip.ExtractToMemory(static_cast<uint32_t>(secondKey), &dwLength);
    if (!pData)
        return KZTool::Fail("cannot open the entry of " + arguments[0]);
    errno = 0;
    FILE* pOut = fopen(arguments[2].c_str(), "wb");
    bool bWritten = pOut && fwrite(pData, 1, dwLength, pOut) == dwLength;
    bWritten = pOut && fclose(pOut) == 0 && bWritten;
    const int error = errno;
    free(pData);
    return bWritten ? KZTool::RESULT_OK
                    : KZTool::Fail("cannot write " + KZTool::SystemReason(arguments[2], error ? error : EIO));
}

// The cipher's keys are 32-bit words, given signed or unsigned.
const long long kKeyLow = INT32_MIN;
const long long kKeyHigh = UINT32_MAX;

const KZTool::CRegistration s_extract({"zip extract", "ZIP [DEST]", "extracts an archive (beside it by default)",
                                       RunExtract, CKZToolArguments(1, 2), {0}});
const KZTool::CRegistration s_list({"zip list", "ZIP", "lists the entries of an archive", RunList,
                                    CKZToolArguments(1), {0}});
const KZTool::CRegistration s_add({"zip add", "ZIP FILE|DIR [NAME]",
                                   "adds a file, or a folder's files below its name (or NAME), to an archive",
                                   RunAdd, CKZToolArguments(2, 3)});
const KZTool::CRegistration s_seal({"zip seal", "ZIP FILE KEY KEY2", "writes a file as an enciphered entry", RunSeal,
                                    CKZToolArguments(4)
                                        .AddNumberAt(2, kKeyLow, kKeyHigh)
                                        .AddNumberAt(3, kKeyLow, kKeyHigh),
                                    {1}});
const KZTool::CRegistration s_unseal({"zip unseal", "ZIP KEY2 OUT", "opens the enciphered entry of an archive",
                                      RunUnseal, CKZToolArguments(3).AddNumberAt(1, kKeyLow, kKeyHigh), {0}});
}
