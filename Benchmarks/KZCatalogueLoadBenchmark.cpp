// Loads a version-261 catalogue written by the test generator and compares the time with reading
// the same file's bytes into memory in the same run. Prints records per second and the ratio.
//   KZCatalogueLoadBenchmark [DIR] [RECORDS] [RUNS]
// The catalogue file stays in DIR so that the load can be traced on its own:
//   KZCatalogueLoadBenchmark DIR RECORDS 0   writes it and stops; a RUNS of -1 loads it once, untimed.

#include "System/Util/KZFileTimeCache.h"
#include "Benchmarks/KZBenchmarkTiming.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
// Records shaped like a game client's: a file name, its path under Data/, sizes and checksums.
bool WriteCatalogue(const fs::path& dir, unsigned records, const fs::path& catalogue)
{
    const fs::path json = dir / "records.json";
    FILE* pJson = fopen(json.c_str(), "w");
    if (!pJson)
        return false;
    fprintf(pJson, "[");
    for (unsigned i = 0; i < records; ++i)
        fprintf(pJson,
                "%s{\"name\":\"file%06u.dat\",\"low\":%u,\"high\":30000000,\"ocrc\":%u,\"ecrc\":%u,\"prio\":%u,"
                "\"size\":%u,\"user\":0,\"csize\":%u,\"zip\":%u,\"stage\":%u,\"path\":\"Data/file%06u.dat\"}",
                i ? "," : "", i, i * 7919u, i * 104729u, i * 15485863u, i % 5, 1000 + i, 900 + i, i / 1000, i % 3, i);
    fprintf(pJson, "]");
    if (fclose(pJson) != 0)
        return false;
    const std::string strCommand = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write 261 '" +
                                   catalogue.string() + "' '@" + json.string() + "'";
    const bool bWritten = system(strCommand.c_str()) == 0;
    fs::remove(json);
    return bWritten;
}

std::vector<char> ReadBytes(const fs::path& path)
{
    std::vector<char> bytes(fs::file_size(path));
    FILE* pFile = fopen(path.c_str(), "rb");
    if (pFile)
    {
        bytes.resize(fread(bytes.data(), 1, bytes.size(), pFile));
        fclose(pFile);
    }
    return bytes;
}
}

int main(int argc, char** argv)
{
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kzcatalogue_bench";
    const unsigned records = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10)) : 100000;
    const int runs = argc > 3 ? atoi(argv[3]) : 5;
    fs::create_directories(dir);
    const fs::path catalogue = dir / "Data.ccx";
    if (!fs::exists(catalogue) && !WriteCatalogue(dir, records, catalogue))
    {
        fprintf(stderr, "could not write %s\n", catalogue.c_str());
        return 1;
    }
    if (runs == 0)
        return 0;
    if (runs < 0)
    {
        CKZFileTimeCache cache;
        return cache.Initialize(catalogue.c_str(), nullptr, nullptr) ? 0 : 1;
    }

    // Best of several runs for both, the page cache warmed by the first read.
    size_t byteCount = ReadBytes(catalogue).size();
    double readSeconds = 1e9, loadSeconds = 1e9;
    size_t loaded = 0;
    bool bLoaded = true;
    for (int run = 0; run < runs; ++run)
    {
        readSeconds = std::min(readSeconds, KZBenchmarkSeconds([&] { byteCount = ReadBytes(catalogue).size(); }));
        CKZFileTimeCache cache;
        loadSeconds = std::min(loadSeconds, KZBenchmarkSeconds([&] {
                                   bLoaded = cache.Initialize(catalogue.c_str(), nullptr, nullptr) && bLoaded;
                               }));
        loaded = cache.GetRawData().size();
    }
    const double megabytes = static_cast<double>(byteCount) / (1 << 20);
    printf("catalogue load\t%zu records\t%.2f MB\t%.4f s\t%.0f records/s%s\n", loaded, megabytes, loadSeconds,
           static_cast<double>(loaded) / loadSeconds, bLoaded ? "" : "\tLOAD FAILED");
    printf("read bytes\t\t\t%.2f MB\t%.4f s\t%.1f MB/s\n", megabytes, readSeconds, megabytes / readSeconds);
    printf("ratio (load time / read time)\t%.2f\n", loadSeconds / readSeconds);
    return bLoaded && loaded == records ? 0 : 1;
}
