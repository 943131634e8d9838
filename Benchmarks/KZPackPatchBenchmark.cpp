// Updates one pack file of 300 MB in which one file changed (DoPatch) and compares the time with
// copying the same pack data file in the same run, with std::filesystem::copy_file and with cp.
// Prints the times, throughputs and ratios, the bytes DoPatch wrote (from /proc/self/io, counted when
// pages are dirtied, so page-cache writes count as well) against the changed file's size, and
// whether the goals were met.
//   KZPackPatchBenchmark [DIR] [MEGABYTES]

#include "Base/Core/ColdStorageArchive/csa.h"
#include "Benchmarks/KZBenchmarkTiming.h"
#include "System/KZPackFileArchive.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{
void WriteRandomFile(const fs::path& path, size_t size, std::mt19937& rng)
{
    std::vector<char> bytes(size);
    for (char& b : bytes)
        b = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// This process's bytes sent towards the disk so far: write_bytes less cancelled_write_bytes (pages
// dirtied and then truncated away); -1 where /proc/self/io cannot be read.
int64_t WrittenBytes()
{
    std::ifstream io("/proc/self/io");
    std::string strKey;
    int64_t value = 0, written = -1, cancelled = 0;
    while (io >> strKey >> value)
    {
        if (strKey == "write_bytes:")
            written = value;
        else if (strKey == "cancelled_write_bytes:")
            cancelled = value;
    }
    return written < 0 ? -1 : written - cancelled;
}
}

int main(int argc, char** argv)
{
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kzpackpatch_bench";
    const size_t megabytes = argc > 2 ? strtoul(argv[2], nullptr, 10) : 300;
    const size_t fileCount = std::max<size_t>(1, megabytes / 10);
    fs::remove_all(dir);
    fs::create_directories(dir / "Data");
    fs::create_directories(dir / "PackFiles");
    const std::string strData = (dir / "Data").string() + "/";
    const std::string strPacks = (dir / "PackFiles").string() + "/";
    std::mt19937 rng(11);

    void* list = csaCreateGroceryList();
    for (size_t i = 0; i < fileCount; ++i)
    {
        const std::string strName = "file" + std::to_string(i) + ".bin";
        WriteRandomFile(dir / "Data" / strName, megabytes * (1 << 20) / fileCount, rng);
        csaAddGrocery(list, strName.c_str(), (strData + strName).c_str());
    }
    const std::string strPack = strPacks + CKZPackFileArchive::CreateFileName(0, "p", "csa");
    void* csa = csaCreate(strPack.c_str(), 256, 0, 1);
    if (!csa || !csaStoreGroceryList(csa, list, csaWriteFile))
        return 1;
    csaClose(csa);
    csaDestroyGroceryList(list);
    // Only the changed file stays on disk: every other file must come from the old pack data.
    for (size_t i = 1; i < fileCount; ++i)
        fs::remove(dir / "Data" / ("file" + std::to_string(i) + ".bin"));
    WriteRandomFile(dir / "Data" / "file0.bin", megabytes * (1 << 20) / fileCount, rng);

    // Warm the page cache for the pack before timing.
    fs::copy_file(strPack, dir / "warm", fs::copy_options::overwrite_existing);
    fs::remove(dir / "warm");
    // Nothing written before may still be dirty: a file replaced or removed while its pages are
    // dirty counts as cancelled writes and would hide what DoPatch writes.
    sync();

    const uint64_t qwChanged = fs::file_size(dir / "Data" / "file0.bin");
    bool bPatched = false;
    const int64_t writtenBefore = WrittenBytes();
    const double patchSeconds = KZBenchmarkSeconds([&] {
        CKZPackFileArchive archive;
        bPatched = archive.OpenPackFile(CKZPath(strPacks));
        archive.PatchBegin();
        archive.AddPatchFile(0, CKZPath(strData + "file0.bin"));
        bPatched = bPatched && archive.DoPatch(CKZPath(strPacks), CKZPath(strData), 1);
    });
    const int64_t writtenAfter = WrittenBytes();
    const uint64_t qwHeaders = fs::file_size(strPack + "header");
    const double copySeconds =
        KZBenchmarkSeconds([&] { fs::copy_file(strPack, dir / "copy", fs::copy_options::overwrite_existing); });
    fs::remove(dir / "copy");
    const double cpSeconds =
        KZBenchmarkSeconds([&] { bPatched = system(("cp " + strPack + " " + (dir / "copy").string()).c_str()) == 0 && bPatched; });
    const double megabytesOut = static_cast<double>(fs::file_size(strPack)) / (1 << 20);
    printf("DoPatch\t%.0f MB pack, %zu files\t%s\t%.3f s\t%.1f MB/s\n", megabytesOut, fileCount,
           bPatched ? "ok" : "FAILED", patchSeconds, megabytesOut / patchSeconds);
    printf("copy_file\t%.3f s\t%.1f MB/s\n", copySeconds, megabytesOut / copySeconds);
    printf("cp\t\t%.3f s\t%.1f MB/s\n", cpSeconds, megabytesOut / cpSeconds);
    printf("ratio (DoPatch time / copy_file time)\t%.2f\n", patchSeconds / copySeconds);
    printf("ratio (DoPatch time / cp time)\t\t%.2f\n", patchSeconds / cpSeconds);
    const double ratio = patchSeconds / cpSeconds;
    printf("goal DoPatch / cp <= 0.2\t%.2f\t%s\n", ratio, ratio <= 0.2 ? "met" : "NOT met");
    if (writtenBefore < 0 || writtenAfter < 0)
        printf("written\tunknown (/proc/self/io cannot be read)\n");
    else
    {
        const uint64_t qwWritten = static_cast<uint64_t>(std::max<int64_t>(0, writtenAfter - writtenBefore));
        printf("written by DoPatch\t%llu bytes\tchanged file %llu bytes\theaders %llu bytes\t%.2f x changed\n",
               static_cast<unsigned long long>(qwWritten), static_cast<unsigned long long>(qwChanged),
               static_cast<unsigned long long>(qwHeaders), double(qwWritten) / double(qwChanged));
        printf("goal written <= 2 x changed + headers\t%llu <= %llu\t%s\n", static_cast<unsigned long long>(qwWritten),
               static_cast<unsigned long long>(2 * qwChanged + qwHeaders),
               qwWritten <= 2 * qwChanged + qwHeaders ? "met" : "NOT met");
    }
    fs::remove_all(dir);
    return bPatched ? 0 : 1;
}
