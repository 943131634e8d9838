// kztool verify: an installation checked against its own catalogue: every record packed with its
// size and checksum, and nothing packed that the catalogue does not list.

#include "KZTool.h"

#include "Tools/Common/KZToolJsonWriter.h"
#include "System/KZInstallLayout.h"
#include "System/KZPackFileArchive.h"
#include "System/Util/KZFileTimeCache.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>
#include <zlib.h>

namespace
{
struct SProblem
{
    std::string strKind; // missing, path, size, checksum, extra, unreadable
    std::string strPath;
    std::string strExpected;
    std::string strActual;
};

std::string Hex(uint32_t dwValue)
{
    char text[9];
    snprintf(text, sizeof(text), "%08x", dwValue);
    return text;
}

// The catalogue path a packed file would have: "Data/" and its internal path, which in the 1.0 form
// already begins with "Data\".
std::string RecordPathOfPacked(std::string strPacked)
{
    std::replace(strPacked.begin(), strPacked.end(), '\\', '/');
    return strPacked.compare(0, 5, KZInstallLayout::kRecordPrefix) == 0 ? strPacked : KZInstallLayout::kRecordPrefix + strPacked;
}

// The CRC-32 of a packed file's bytes as they are on disk; false when they cannot all be read.
bool PackedChecksum(CKZPackFileArchive& archive, const std::string& strPath, uint32_t dwLength, uint32_t& dwCrc)
{
    void* pHandle = archive.Open(strPath.c_str(), "rb");
    if (!pHandle)
        return false;
    std::vector<char> buffer(1 << 16);
    uint32_t dwLeft = dwLength;
    dwCrc = 0;
    while (dwLeft > 0)
    {
        const int want = static_cast<int>(std::min<uint32_t>(dwLeft, static_cast<uint32_t>(buffer.size())));
        const int got = archive.Read(buffer.data(), 1, want, pHandle);
        if (got <= 0)
            break;
        dwCrc = static_cast<uint32_t>(crc32(dwCrc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got)));
        dwLeft -= static_cast<uint32_t>(got);
    }
    archive.Close(pHandle);
    return dwLeft == 0;
}

// One problem per record or packed file; false with the reason when the installation cannot be read.
bool Verify(const std::string& strProject, std::vector<SProblem>& vecProblems, size_t& files, std::string& strError)
{
    const std::string strRoot = strProject.empty() || strProject.back() == '/' ? strProject : strProject + "/";
    CKZFileTimeCache catalogue;
    if (!catalogue.Initialize((strRoot + "Data.ccx").c_str(), nullptr, nullptr))
    {
        strError = KZTool::InputFileProblem(strRoot + "Data.ccx");
        if (strError.empty())
            strError = "cannot load the catalogue " + strRoot + "Data.ccx";
        return false;
    }
    files = catalogue.GetRawData().size();
    CKZPackFileArchive archive;
    const bool bOpened = archive.OpenPackFile(CKZPath(strRoot + "PackFiles/"));
    std::set<SKZPackedFile*> setListed;
    for (const auto& entry : catalogue.GetRawData())
    {
        const CKZFileDetails& record = *entry.second;
        const std::string strInternal = KZInstallLayout::PackedPathOfRecord(record.m_strFilePath);
        SKZPackedFile* pPacked =
            bOpened && !strInternal.empty() ? archive.GetPackedFileByInternalRelativePath(strInternal) : nullptr;
        if (!pPacked)
        {
            vecProblems.push_back({"missing", record.m_strFilePath, "", ""});
            continue;
        }
        setListed.insert(pPacked);
        // The 1.0.0 form ("Data\...") is the same file to the installer.
        if (KZInstallLayout::MatchPackedPath(pPacked->m_strPath, record.m_strFilePath) ==
            KZInstallLayout::PACKED_PATH_DIFFERS)
        {
            vecProblems.push_back({"path", record.m_strFilePath, strInternal, pPacked->m_strPath});
            continue;
        }
        if (pPacked->m_dwLength != record.m_dwSize)
        {
            vecProblems.push_back(
                {"size", record.m_strFilePath, std::to_string(record.m_dwSize), std::to_string(pPacked->m_dwLength)});
            continue;
        }
        uint32_t dwCrc = 0;
        if (!PackedChecksum(archive, record.m_strFilePath, pPacked->m_dwLength, dwCrc))
            vecProblems.push_back({"unreadable", record.m_strFilePath, "", ""});
        else if (dwCrc != record.m_dwExportedCrc)
            vecProblems.push_back({"checksum", record.m_strFilePath, Hex(record.m_dwExportedCrc), Hex(dwCrc)});
    }
    for (unsigned int i = 0; bOpened && i < archive.GetPackFileCount(); ++i)
        for (unsigned int j = 0; j < archive.GetPackedFileCount(i); ++j)
        {
            const std::string strPacked = archive.GetPackedFilePath(i, j);
            if (setListed.count(archive.GetPackedFileByInternalRelativePath(strPacked)))
                continue;
            vecProblems.push_back(
                {"extra", RecordPathOfPacked(strPacked), "", std::to_string(archive.GetPackedFileLength(i, j))});
        }
    return true;
}

void PrintJson(const std::string& strProject, size_t files, const std::vector<SProblem>& vecProblems)
{
    CKZToolJsonWriter json;
    json.BeginObject().Key("project").String(strProject).Key("files").Unsigned(files);
    json.Key("clean").Bool(vecProblems.empty()).Key("problems").BeginArray();
    for (const SProblem& p : vecProblems)
        json.BeginObject()
            .Key("problem").String(p.strKind)
            .Key("path").String(p.strPath)
            .Key("expected").String(p.strExpected)
            .Key("actual").String(p.strActual)
            .EndObject();
    json.EndArray().EndObject();
    printf("%s\n", json.Text().c_str());
}

int RunVerify(const CKZToolArguments& arguments)
{
    std::vector<SProblem> vecProblems;
    size_t files = 0;
    std::string strError;
    if (!Verify(arguments[0], vecProblems, files, strError))
        return KZTool::Fail(strError);
    if (arguments.Has("--json"))
        PrintJson(arguments[0], files, vecProblems);
    else
    {
        printf("problem\tpath\texpected\tactual\n");
        for (const SProblem& p : vecProblems)
            printf("%s\t%s\t%s\t%s\n", p.strKind.c_str(), p.strPath.c_str(), p.strExpected.c_str(), p.strActual.c_str());
        fprintf(stderr, "kztool: %zu files checked, %zu problems\n", files, vecProblems.size());
    }
    return vecProblems.empty() ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

const KZTool::CRegistration s_verify({"verify", "PROJECT_DIR [--json]",
                                      "checks an installation against its own catalogue: every file packed at its "
                                      "path with its size and CRC-32, nothing packed beyond it; exit 1 on any problem",
                                      RunVerify,
                                      CKZToolArguments(1).AddFlag("--json", CKZToolArguments::REPEAT_REFUSED)});
}
