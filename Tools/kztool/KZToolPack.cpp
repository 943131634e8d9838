// kztool pack: pack file directories listed, extracted, built from a catalogue, compared with one,
// and patched.

#include "KZTool.h"

#include "KZToolLastError.h"
#include "System/KZPackFileArchive.h"
#include "System/Util/KZFileTimeCache.h"

#include <cstdint>
#include <cstdio>
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

int RunList(const CKZToolArguments& arguments)
{
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, arguments[0]))
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

int RunExtract(const CKZToolArguments& arguments)
{
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, arguments[0]))
        return KZTool::RESULT_FAILURE;
    return RunReported([&] { return archive.Extract(DirectoryArgument(arguments[1])); }, "extraction failed");
}

int RunCat(const CKZToolArguments& arguments)
{
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, arguments[0]))
        return KZTool::RESULT_FAILURE;
    void* pHandle = archive.Open(arguments[1].c_str(), "rb");
    if (!pHandle)
        return KZTool::Fail("not in the archive: " + arguments[1]);
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

int RunBuild(const CKZToolArguments& arguments)
{
    CKZFileTimeCache cache;
    if (!LoadCatalogue(cache, arguments[0]))
        return KZTool::Fail("cannot load the catalogue " + arguments[0]);
    if (!CKZFile::DirectoryExists(arguments[2].c_str()) && !CKZFile::CreateDir(arguments[2].c_str(), true))
        return KZTool::Fail("cannot create " + arguments[2]);
    if (!CKZPackFileArchive::CreateFromCacheFile(cache, DirectoryArgument(arguments[1]), DirectoryArgument(arguments[2]),
                                                 DirectoryArgument(arguments[3])))
        return KZTool::Fail("the pack files could not be built");
    CKZPackFileArchive archive;
    const unsigned int count = archive.OpenPackFile(DirectoryArgument(arguments[2])) ? archive.GetPackFileCount() : 0;
    printf("%u pack files, %zu files\n", count, cache.GetRawData().size());
    return KZTool::RESULT_OK;
}

int RunDiff(const CKZToolArguments& arguments)
{
    CKZPackFileArchive archive;
    if (!OpenArchive(archive, arguments[0]))
        return KZTool::RESULT_FAILURE;
    CKZFileTimeCache cache;
    if (!LoadCatalogue(cache, arguments[1]))
        return KZTool::Fail("cannot load the catalogue " + arguments[1]);
    bool bSame = true;
    const int difference = CKZPackFileArchive::DiffAgainstCacheFile(
        archive, cache, [&bSame](bool bArchiveOnly, const std::string& strName) {
            printf("%s\t%s\n", bArchiveOnly ? "archive only" : "catalogue only", strName.c_str());
            bSame = false;
        });
    printf("difference\t%d\n", difference);
    return bSame ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

// The pack numbers before the path of an --add (PACK) or --move (FROM TO) step; false when one is
// not a number.
bool PackNumbers(const CKZToolArguments::SOccurrence& step, unsigned int (&numbers)[2])
{
    const size_t count = step.strName == "--remove" ? 0 : step.vecValues.size() - 1;
    for (size_t i = 0; i < count; ++i)
    {
        long long value = 0;
        if (!CKZToolArguments::ParseInteger(step.vecValues[i], 0, UINT32_MAX, value))
            return false;
        numbers[i] = static_cast<unsigned int>(value);
    }
    return true;
}

// A relative path names a file below the source directory.
CKZPath SourcePath(const std::string& strSource, const std::string& strPath)
{
    return CKZPath::FilePath(strPath.empty() || strPath[0] == '/' ? strPath
                                                                  : DirectoryArgument(strSource).GetString() + strPath);
}

void TakePatchStep(CKZPackFileArchive& archive, const std::string& strSource,
                   const CKZToolArguments::SOccurrence& step)
{
    unsigned int numbers[2] = {0, 0};
    PackNumbers(step, numbers);
    const CKZPath path = SourcePath(strSource, step.vecValues.back());
    if (step.strName == "--add")
        archive.AddPatchFile(numbers[0], path);
    else if (step.strName == "--move")
        archive.PatchMoveFile(numbers[0], numbers[1], path);
    else if (archive.RemovePatchFile(path) == 0)
        fprintf(stderr, "kztool: not in the archive: %s\n", step.vecValues.back().c_str());
}

int RunPatch(const CKZToolArguments& arguments)
{
    // Every step is checked before the first is taken.
    unsigned int numbers[2];
    for (const CKZToolArguments::SOccurrence& step : arguments.Occurrences())
        if (!PackNumbers(step, numbers))
            return KZTool::Usage("pack patch");
    const unsigned int packCount = static_cast<unsigned int>(arguments.NumberAt(2));
    CKZPackFileArchive archive;
    const CKZPath packDirectory = DirectoryArgument(arguments[0]);
    CKZPackFileArchive::RemoveTemporaryPatchFiles(packDirectory, 32);
    if (!OpenArchive(archive, arguments[0]))
        return KZTool::RESULT_FAILURE;
    archive.PatchBegin();
    for (const CKZToolArguments::SOccurrence& step : arguments.Occurrences())
        TakePatchStep(archive, arguments[1], step);
    if (!archive.DoPatch(packDirectory, DirectoryArgument(arguments[1]), packCount))
        return KZTool::Fail("the patch run failed");
    archive.PatchEnd();
    printf("%u pack files rebuilt, %u files, %llu bytes\n", archive.GetPatchPacksWritten(), archive.GetPatchFilesDone(),
           static_cast<unsigned long long>(archive.GetPatchBytesDone()));
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_list({"pack list", "DIR",
                                    "lists every packed file: pack, internal path, offset, length, CRC-32, time",
                                    RunList, CKZToolArguments(1)});
const KZTool::CRegistration s_extract({"pack extract", "DIR OUT", "writes every packed file below OUT", RunExtract,
                                       CKZToolArguments(2)});
const KZTool::CRegistration s_cat({"pack cat", "DIR NAME", "writes one packed file's bytes to standard output",
                                   RunCat, CKZToolArguments(2)});
const KZTool::CRegistration s_build({"pack build", "CACHE SOURCE_DIR PACK_DIR BASE_DIR",
                                     "builds the pack files of a catalogue from the files on disk", RunBuild,
                                     CKZToolArguments(4), {0}});
const KZTool::CRegistration s_diff({"pack diff", "DIR CACHE",
                                    "names the files only in the archive or only in the catalogue", RunDiff,
                                    CKZToolArguments(2), {1}});
const KZTool::CRegistration s_patch({"pack patch",
                                     "PACK_DIR SOURCE_DIR COUNT [--add PACK PATH]... [--move FROM TO PATH]... "
                                     "[--remove PATH]...",
                                     "runs one patch: files added, moved and removed, COUNT pack files after", RunPatch,
                                     CKZToolArguments(3)
                                         .AddNumberAt(2, 0, UINT32_MAX)
                                         .AddOption("--add", 2)
                                         .AddOption("--move", 3)
                                         .AddOption("--remove")});
}
