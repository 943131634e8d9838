// kztool fs: directory listings and file checksums as the library computes them.

#include "KZTool.h"

#include "Base/Core/KZFile.h"

#include <cstdio>

namespace
{
int RunList(const std::vector<std::string>& args)
{
    if (args.empty())
        return KZTool::Usage("fs list");
    bool bRecursive = false;
    std::string strPattern;
    for (size_t i = 1; i < args.size(); ++i)
    {
        if (args[i] == "--recursive")
            bRecursive = true;
        else if (args[i] == "--pattern" && i + 1 < args.size())
            strPattern = args[++i];
        else
            return KZTool::Usage("fs list");
    }
    if (!CKZFile::DirectoryExists(args[0].c_str()))
        return KZTool::Fail("not a directory: " + args[0]);
    std::vector<SKZFileInfo> vecEntries;
    if (!CKZFile::CollectDirectoryFiles(args[0].c_str(), vecEntries, bRecursive,
                                        strPattern.empty() ? nullptr : strPattern.c_str(), true, true))
        return KZTool::Fail("could not list " + args[0]);
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

int RunCrc(const std::vector<std::string>& args)
{
    if (args.empty())
        return KZTool::Usage("fs crc");
    printf("crc32\tpath\n");
    int result = KZTool::RESULT_OK;
    for (const std::string& strPath : args)
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
                                    "lists a directory with sizes and modification times", RunList});
const KZTool::CRegistration s_crc({"fs crc", "FILE...", "prints the CRC-32 of each file", RunCrc,
                                   {KZTool::INPUT_EVERY_ARGUMENT}});
}
