// kztool pack: pack file directories listed, extracted, built from a catalogue, compared with one,
// and patched.

#include "KZTool.h"

#include "KZToolLastError.h"
#include "System/KZPackFileArchive.h"
#include "System/Util/KZFileTimeCache.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace
{
// Directory arguments are taken as directories even when their names hold a dot.
CKZPath DirectoryArgument(const std::string& strDirectory)
{
    return CKZPath(strDirectory.empty() || strDirectory.back() == '/' ? strDirectory : strDirectory + "/");
}

// Opens the archive; on failure prints one line that says why and answers false.
bool OpenArchive(CKZPackFileArchive& archive, const std::string& strDirectory)
{
    KZTool::CLastError error;
    if (archive.OpenPackFile(DirectoryArgument(strDirectory)))
        return true;
    KZTool::Fail(error.Explain("cannot open the pack files in " + strDirectory));
    return false;
}

// Runs an archive operation; on failure prints one line with the reason the library gave.
int RunReported(const std::function<bool()>& operation, const std::string& strFailure)
{
    KZTool::CLastError error;
    return operation() ? KZTool::RESULT_OK : KZTool::Fail(error.Explain(strFailure));
}

bool LoadCatalogue(CKZFileTimeCache& cache, const std::string& strPath)
{
    return cache.Initialize(strPath.c_str(), nullptr, nullptr);
}

int RunList(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return KZTool::Usage("pack list");
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, args[0]))
        return KZTool::RESULT_FAILURE;
    printf("pack\tpath\toffset\tlength\tcrc32\ttime\n");
    for (unsigned int i = 0; i < archive.GetPackFileCount(); ++i)
    {
        for (unsigned int j = 0; j < archive.GetPackedFileCount(i); ++j)
        {
            int64_t seconds = 0;
            const SKZFileTime time = archive.GetPackedFileTime(i, j);
            FileTimeToUnixTime(&seconds, &time);
            printf("%u\t%s\t%u\t%u\t%08x\t%lld\n", i, archive.GetPackedFilePath(i, j), archive.GetPackedFileOffset(i, j),
                   archive.GetPackedFileLength(i, j), archive.GetPackedFileCheckSum(i, j),
                   static_cast<long long>(seconds));
        }
    }
    return KZTool::RESULT_OK;
}

int RunExtract(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return KZTool::Usage("pack extract");
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, args[0]))
        return KZTool::RESULT_FAILURE;
    return RunReported([&] { return archive.Extract(DirectoryArgument(args[1])); }, "extraction failed");
}

int RunCat(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return KZTool::Usage("pack cat");
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, args[0]))
        return KZTool::RESULT_FAILURE;
    void* pHandle = archive.Open(args[1].c_str(), "rb");
    if (!pHandle)
        return KZTool::Fail("not in the archive: " + args[1]);
    char buffer[65536];
    bool bWritten = true;
    while (int count = archive.Read(buffer, 1, sizeof(buffer), pHandle))
    {
        if (count < 0 || fwrite(buffer, 1, static_cast<size_t>(count), stdout) != static_cast<size_t>(count))
        {
            bWritten = false;
            break;
        }
    }
    archive.Close(pHandle);
    return bWritten && fflush(stdout) == 0 ? KZTool::RESULT_OK : KZTool::Fail("could not write the file's bytes");
}

int RunBuild(const std::vector<std::string>& args)
{
    if (args.size() != 4)
        return KZTool::Usage("pack build");
    CKZFileTimeCache cache;
    if (!LoadCatalogue(cache, args[0]))
        return KZTool::Fail("cannot load the catalogue " + args[0]);
    if (!CKZFile::DirectoryExists(args[2].c_str()) && !CKZFile::CreateDir(args[2].c_str(), true))
        return KZTool::Fail("cannot create " + args[2]);
    if (!CKZPackFileArchive::CreateFromCacheFile(cache, DirectoryArgument(args[1]), DirectoryArgument(args[2]),
                                                 DirectoryArgument(args[3])))
        return KZTool::Fail("the pack files could not be built");
    CKZPackFileArchive archive;
    const unsigned int count = archive.OpenPackFile(DirectoryArgument(args[2])) ? archive.GetPackFileCount() : 0;
    printf("%u pack files, %zu files\n", count, cache.GetRawData().size());
    return KZTool::RESULT_OK;
}

int RunDiff(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return KZTool::Usage("pack diff");
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, args[0]))
        return KZTool::RESULT_FAILURE;
    CKZFileTimeCache cache;
    if (!LoadCatalogue(cache, args[1]))
        return KZTool::Fail("cannot load the catalogue " + args[1]);
    bool bSame = true;
    const int difference = CKZPackFileArchive::DiffAgainstCacheFile(
        archive, cache, [&bSame](bool bArchiveOnly, const std::string& strName) {
            printf("%s\t%s\n", bArchiveOnly ? "archive only" : "catalogue only", strName.c_str());
            bSame = false;
        });
    printf("difference\t%d\n", difference);
    return bSame ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

bool ParseCount(const std::string& strText, unsigned int& value)
{
    char* pEnd = nullptr;
    const unsigned long parsed = strtoul(strText.c_str(), &pEnd, 10);
    if (strText.empty() || *pEnd || parsed > 0xFFFFFFFFul || strText[0] == '-')
        return false;
    value = static_cast<unsigned int>(parsed);
    return true;
}

// A relative path names a file below the source directory.
CKZPath SourcePath(const std::string& strSource, const std::string& strPath)
{
    return CKZPath::FilePath(strPath.empty() || strPath[0] == '/' ? strPath
                                                                  : DirectoryArgument(strSource).GetString() + strPath);
}

int RunPatch(const std::vector<std::string>& args)
{
    unsigned int packCount = 0;
    if (args.size() < 3 || !ParseCount(args[2], packCount))
        return KZTool::Usage("pack patch");
    CKZPackFileArchive archive;
    const CKZPath packDirectory = DirectoryArgument(args[0]);
    CKZPackFileArchive::RemoveTemporaryPatchFiles(packDirectory, 32);
    if (!OpenArchive(archive, args[0]))
        return KZTool::RESULT_FAILURE;
    archive.PatchBegin();
    for (size_t i = 3; i < args.size();)
    {
        unsigned int first = 0;
        unsigned int second = 0;
        if (args[i] == "--add" && i + 2 < args.size() && ParseCount(args[i + 1], first))
        {
            archive.AddPatchFile(first, SourcePath(args[1], args[i + 2]));
            i += 3;
        }
        else if (args[i] == "--move" && i + 3 < args.size() && ParseCount(args[i + 1], first) &&
                 ParseCount(args[i + 2], second))
        {
            archive.PatchMoveFile(first, second, SourcePath(args[1], args[i + 3]));
            i += 4;
        }
        else if (args[i] == "--remove" && i + 1 < args.size())
        {
            if (archive.RemovePatchFile(SourcePath(args[1], args[i + 1])) == 0)
                fprintf(stderr, "kztool: not in the archive: %s\n", args[i + 1].c_str());
            i += 2;
        }
        else
            return KZTool::Usage("pack patch");
    }
    if (!archive.DoPatch(packDirectory, DirectoryArgument(args[1]), packCount))
        return KZTool::Fail("the patch run failed");
    archive.PatchEnd();
    printf("%u pack files rebuilt, %u files, %llu bytes\n", archive.GetPatchPacksWritten(), archive.GetPatchFilesDone(),
           static_cast<unsigned long long>(archive.GetPatchBytesDone()));
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_list({"pack list", "DIR",
                                    "lists every packed file: pack, internal path, offset, length, CRC-32, time",
                                    RunList});
const KZTool::CRegistration s_extract({"pack extract", "DIR OUT", "writes every packed file below OUT", RunExtract});
const KZTool::CRegistration s_cat({"pack cat", "DIR NAME", "writes one packed file's bytes to standard output",
                                   RunCat});
const KZTool::CRegistration s_build({"pack build", "CACHE SOURCE_DIR PACK_DIR BASE_DIR",
                                     "builds the pack files of a catalogue from the files on disk", RunBuild, {0}});
const KZTool::CRegistration s_diff({"pack diff", "DIR CACHE",
                                    "names the files only in the archive or only in the catalogue", RunDiff, {1}});
const KZTool::CRegistration s_patch({"pack patch",
                                     "PACK_DIR SOURCE_DIR COUNT [--add PACK PATH]... [--move FROM TO PATH]... "
                                     "[--remove PATH]...",
                                     "runs one patch: files added, moved and removed, COUNT pack files after", RunPatch});
}
