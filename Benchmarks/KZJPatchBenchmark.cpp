// Applies a delta that rewrites 10% of a 200 MB file and compares the time with copying a file of
// the output's size in the same run. Prints both times and their ratio.
//   KZJPatchBenchmark [DIR] [MEGABYTES]

#include "PatchLibrary/KZPatchAPI.h"
#include "Benchmarks/KZBenchmarkTiming.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
const unsigned char ESC = 0xA7, MOD = 0xA6, EQL = 0xA3;

void PutNumber(std::vector<unsigned char>& out, uint32_t n)
{
    out.insert(out.end(), {ESC, EQL, 254, static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                           static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
}
}

int main(int argc, char** argv)
{
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kzjpatch_bench";
    const size_t megabytes = argc > 2 ? strtoul(argv[2], nullptr, 10) : 200;
    fs::create_directories(dir);
    const size_t blockSize = 1 << 20;
    std::mt19937 rng(5);

    // Old file: random bytes. Delta: per megabyte 90% equal and 10% modified bytes.
    std::vector<unsigned char> block(blockSize), delta;
    FILE* pOld = fopen((dir / "old").c_str(), "wb");
    if (!pOld)
        return 1;
    for (size_t k = 0; k < megabytes; ++k)
    {
        for (unsigned char& b : block)
            b = static_cast<unsigned char>(rng());
        fwrite(block.data(), 1, block.size(), pOld);
        const uint32_t equal = static_cast<uint32_t>(blockSize * 9 / 10);
        PutNumber(delta, equal);
        delta.insert(delta.end(), {ESC, MOD});
        for (size_t i = equal; i < blockSize; ++i)
        {
            const unsigned char b = static_cast<unsigned char>(rng());
            if (b == ESC)
                delta.push_back(ESC);
            delta.push_back(b);
        }
    }
    fclose(pOld);
    FILE* pDelta = fopen((dir / "delta").c_str(), "wb");
    fwrite(delta.data(), 1, delta.size(), pDelta);
    fclose(pDelta);

    // Warm the page cache for both inputs before timing.
    fs::copy_file(dir / "old", dir / "warm", fs::copy_options::overwrite_existing);
    int result = -1;
    const double patchSeconds = KZBenchmarkSeconds([&] {
        result = kzpatch_patch((dir / "old").c_str(), (dir / "delta").c_str(), (dir / "new").c_str());
    });
    const double copySeconds =
        KZBenchmarkSeconds([&] { fs::copy_file(dir / "new", dir / "copy", fs::copy_options::overwrite_existing); });
    const double megabytesOut = static_cast<double>(fs::file_size(dir / "new")) / (1 << 20);
    printf("delta apply\t%zu MB\tresult %d\t%.3f s\t%.1f MB/s\n", megabytes, result, patchSeconds,
           megabytesOut / patchSeconds);
    printf("copy\t\t%.0f MB\t\t%.3f s\t%.1f MB/s\n", megabytesOut, copySeconds, megabytesOut / copySeconds);
    printf("ratio (delta apply time / copy time)\t%.2f\n", patchSeconds / copySeconds);
    fs::remove_all(dir);
    return result == 0 ? 0 : 1;
}
