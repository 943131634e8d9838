// kztool fs: directory listings and file checksums as the library computes them.

#include "KZTool.h"

#include "Base/Core/KZFile.h"

#include <cstdio>

namespace
{
int RunList(const CKZToolArguments& arguments)
{
    const std::string& strDirectory = arguments[0];
    const std::string strPattern = arguments.Value("--pattern");
    if (!CKZFile::DirectoryExists(strDirectory.c_str()))
        return KZTool::Fail("not a directory: " + strDirectory);
    std::vector<SKZFileInfo> vecEntries;
    if (!CKZFile::CollectDirectoryFiles(strDirectory.c_str(), vecEntries, arguments.Has("--recursive"),
                                        strPattern.empty() ? nullptr : strPattern.c_str(), true, true))
        return KZTool::Fail("could not list " + strDirectory);
    printf("kind\tsize\tmodified\tpath\n");
    for (const SKZFileInfo& entry : vecEntries)
    {
        int64_t seconds = 0;
        if (!entry.IsDirectory())
            FileTimeToUnixTime(&seconds, &entry.time);
        printf("%s\t%u\t%lld\t%s\n", entry.IsDirectory() ? "dir" : "file", entry.size,
               static_cast<long long>(seconds), entry.name);
    }
    return KZTool::RESULT_OK;
}

int RunCrc(const CKZToolArguments& arguments)
{
    printf("crc32\tpath\n");
    int result = KZTool::RESULT_OK;
    for (const std::string& strPath : arguments.Positionals())
    {
        // A file that cannot be read has no checksum; 0 would be mistaken for a real one.
        if (!CKZFile::FileExists(strPath))
        {
            result = KZTool::Fail("cannot read " + strPath);
            continue;
        }
        printf("%08x\t%s\n", CKZFile::GetChecksum(strPath.c_str()), strPath.c_str());
    }
    return result;
}

const KZTool::CRegistration s_list({"fs list", "DIR [--recursive] [--pattern P]",
                                    "lists a directory with sizes and modification times", RunList,
                                    CKZToolArguments(1).AddFlag("--recursive").AddOption("--pattern")});
const KZTool::CRegistration s_crc({"fs crc", "FILE...", "prints the CRC-32 of each file", RunCrc,
                                   CKZToolArguments(1, CKZToolArguments::UNLIMITED), {KZTool::INPUT_EVERY_ARGUMENT}});
}
