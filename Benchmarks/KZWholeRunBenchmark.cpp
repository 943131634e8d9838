// Whole patch runs through the exported C functions against a real web server on loopback, timed
// against the baseline tools doing the same work in the same run:
//   KZWholeRunBenchmark install [DIR] [MEGABYTES]   a new install of a client in 8 full-install zips
//                                                   (default 256 MB), against curl fetching the 8 zips
//                                                   and unzip -o unpacking them, one after the other
//   KZWholeRunBenchmark update [DIR] [FILES]        three updates of FILES changed 16 KB files (default
//                                                   1,000) in a 500 MB installation, each against curl
//                                                   fetching the same update zips over one connection,
//                                                   and the bytes each run wrote to disk
//   KZWholeRunBenchmark memory [DIR] [MEGABYTES]    the peak resident memory of this process during a
//                                                   new install (default 1024 MB)
//   KZWholeRunBenchmark signed [DIR] [MEGABYTES]    a new install of a signed release with trusted keys
//                                                   against the same install without, five of each taken
//                                                   in turn (default 256 MB): the cost of the digests
//   KZWholeRunBenchmark delta [DIR] [MEGABYTES]     an update of a client (default 1024 MB) in which 50
//                                                   files of 2-20 MB changed by 1-5 % (inserted,
//                                                   overwritten and moved runs), published by kzpublish
//                                                   with deltas and without (--keep-deltas 0), three
//                                                   runs of each in turn: bytes served, time, memory
// The server is nginx when it is installed, else Tests/Fixtures/http_server.py; the output names it.
// KZGameRunBenchmark (its own program) runs a game-sized client through install, no-op and update.
// Generated server trees stay in DIR (default $TMPDIR/kzwholerun_bench) so that a repeated run only
// measures; delete DIR to generate afresh.

#include "Benchmarks/KZBenchmarkTiming.h"
#include "Benchmarks/KZWholeRunSupport.h"
#include "Base/Hash/KZSignature.h"
#include "System/KZReleaseManifest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace KZWholeRun;

namespace
{
// A client of 8 packs whose files are random (incompressible) bytes.
bool GenerateClient(const fs::path& tree, size_t megabytes, const std::string& strExtra)
{
    if (fs::exists(tree / "server" / "Data.ccx"))
        return true;
    MakeEmptyDirectory(tree);
    const size_t filesPerPack = std::max<size_t>(1, megabytes / 4 / 8);
    return Shell("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + Quote(tree / "server") + " " +
                 Quote(tree / "expected") + " --packs 8 --files " + std::to_string(filesPerPack) + " --file-size " +
                 std::to_string(4u << 20) + " " + strExtra + " >/dev/null");
}

int NewInstall(const fs::path& dir, size_t megabytes)
{
    const fs::path tree = dir / ("install" + std::to_string(megabytes));
    if (!GenerateClient(tree, megabytes, ""))
        return 1;
    CServer server(tree / "server", dir);
    printf("server\t%s\n", server.Name().c_str());

    const fs::path project = dir / "project";
    MakeEmptyDirectory(project);
    const SRunTimes times = RunPatch(project, server.Host());
    fs::remove_all(project);

    // The baseline: curl fetches the 8 zips in one process (one connection where the server keeps
    // it), then unzip -o unpacks them one after the other.
    const fs::path baseline = dir / "baseline";
    MakeEmptyDirectory(baseline);
    std::string strCurl = "curl -s -f";
    std::string strUnzip = "cd " + Quote(baseline) + " && true";
    for (int i = 0; i < 8; ++i)
    {
        const std::string strZip = "Data" + std::to_string(i) + ".zip";
        strCurl += " -o " + Quote(baseline / strZip) + " http://" + server.Host() + "/" + strZip;
        strUnzip += " && unzip -q -o " + strZip;
    }
    bool bBaseline = true;
    const double curlSeconds = KZBenchmarkSeconds([&] { bBaseline = Shell(strCurl); });
    const double unzipSeconds = KZBenchmarkSeconds([&] { bBaseline = Shell(strUnzip) && bBaseline; });
    fs::remove_all(baseline);

    // The goal asks for unpacking at twice unzip's speed: the run may take the download's time or half
    // unzip's, whichever is longer.
    const double baselineSeconds = std::max(curlSeconds, unzipSeconds);
    const double goalSeconds = 1.1 * std::max(curlSeconds, 0.5 * unzipSeconds) + 0.5;
    printf("new install\t%zu MB in 8 zips\n", megabytes);
    PrintRun("kzpatch run", times);
    PrintSplit(times);
    printf("curl 8 zips\t%s\t%.3f s\n", bBaseline ? "ok" : "FAILED", curlSeconds);
    printf("unzip -o 8 zips\t%.3f s\n", unzipSeconds);
    printf("ratio (run time / max(curl, unzip))\t%.2f\n", times.total / baselineSeconds);
    printf("ratio (run time / max(curl, 0.5 x unzip))\t%.2f\n",
           times.total / std::max(curlSeconds, 0.5 * unzipSeconds));
    printf("goal (run time <= 1.1 x max(curl, 0.5 x unzip) + 0.5 s = %.3f s)\t%s\n", goalSeconds,
           times.total <= goalSeconds ? "met" : "missed");
    return times.bDone && bBaseline ? 0 : 1;
}

int PeakMemory(const fs::path& dir, size_t megabytes)
{
    const fs::path tree = dir / ("install" + std::to_string(megabytes));
    if (!GenerateClient(tree, megabytes, "--stored"))
        return 1;
    CServer server(tree / "server", dir);
    printf("server\t%s\n", server.Name().c_str());
    const fs::path project = dir / "project";
    MakeEmptyDirectory(project);
    const long before = PeakResidentKilobytes();
    const SRunTimes times = RunPatch(project, server.Host());
    const long peak = PeakResidentKilobytes();
    fs::remove_all(project);
    printf("new install\t%zu MB in 8 zips\n", megabytes);
    PrintRun("kzpatch run", times);
    printf("peak resident memory\t%.1f MB (%.1f MB before the run)\n", peak / 1024.0, before / 1024.0);
    printf("goal (<= 64 MB)\t%s\n", peak <= 64 * 1024 ? "met" : "missed");
    return times.bDone ? 0 : 1;
}

// The same client installed with and without trusted keys: the signed run also fetches the manifest and
// hashes every file it downloads.
int SignedInstall(const fs::path& dir, size_t megabytes)
{
    const fs::path tree = dir / ("install" + std::to_string(megabytes));
    if (!GenerateClient(tree, megabytes, ""))
        return 1;
    KZSignature::PublicKey publicKey;
    KZSignature::SecretSeed seed;
    KZSignature::GenerateKeyPair(publicKey, seed);
    CKZReleaseManifest manifest;
    std::string strWhy;
    if (!manifest.AddTree((tree / "server").string(), strWhy))
    {
        fprintf(stderr, "%s\n", strWhy.c_str());
        return 1;
    }
    manifest.SetRelease(1);
    manifest.SetExpires(static_cast<int64_t>(time(nullptr)) + 86400);
    std::ofstream(tree / "server" / "Data.manifest", std::ios::binary) << manifest.Signed(seed);
    CServer server(tree / "server", dir);
    printf("server\t%s\n", server.Name().c_str());

    const fs::path project = dir / "project";
    std::vector<double> plain, checked;
    bool bDone = true;
    for (int i = 0; i < 5; ++i)
        for (const bool bKeys : {false, true})
        {
            kzpatch_set_trusted_keys(bKeys ? KZSignature::ToHex(publicKey).c_str() : nullptr);
            MakeEmptyDirectory(project);
            const SRunTimes times = RunPatch(project, server.Host());
            bDone = bDone && times.bDone;
            (bKeys ? checked : plain).push_back(times.total);
            PrintRun(bKeys ? "kzpatch run with keys" : "kzpatch run without keys", times);
        }
    kzpatch_set_trusted_keys(nullptr);
    fs::remove_all(project);
    std::sort(plain.begin(), plain.end());
    std::sort(checked.begin(), checked.end());
    const double overhead = checked[2] / plain[2] - 1;
    printf("new install\t%zu MB in 8 zips, %zu files signed\n", megabytes, manifest.Files().size());
    printf("median without keys\t%.3f s\nmedian with keys\t%.3f s\n", plain[2], checked[2]);
    printf("cost of the checks\t%+.1f %%\n", 100 * overhead);
    printf("goal (<= 10 %%)\t%s\n", overhead <= 0.10 ? "met" : "missed");
    printf("peak resident memory\t%.1f MB (goal <= 64 MB: %s)\n", PeakResidentKilobytes() / 1024.0,
           PeakResidentKilobytes() <= 64 * 1024 ? "met" : "missed");
    return bDone ? 0 : 1;
}

// The installation holds version 1 of a client (seed 1) of 8 packs: FILES small files and one large
// file of zeros that stays the same; the server holds the same client from another seed, so every
// small file differs and only the large file is in sync. Three runs, each from a fresh copy of the
// installation and each with its own curl baseline, so that one lucky or unlucky run decides nothing.
int Update(const fs::path& dir, size_t files)
{
    const fs::path tree = dir / ("update" + std::to_string(files));
    const size_t filesPerPack = std::max<size_t>(1, files / 8);
    const size_t smallBytes = 16384;
    const size_t bigBytes = (500u << 20) - 8 * filesPerPack * smallBytes;
    const std::string strOptions = " --packs 8 --files " + std::to_string(filesPerPack) + " --file-size " +
                                   std::to_string(smallBytes) + " --big-file " + std::to_string(bigBytes);
    if (!fs::exists(tree / "server" / "Data.ccx"))
    {
        MakeEmptyDirectory(tree);
        const std::string strGen = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py ";
        if (!Shell(strGen + Quote(tree / "old") + " " + Quote(tree / "old_expected") + strOptions +
                   " --seed 1 --install " + Quote(tree / "install") + " >/dev/null") ||
            !Shell(strGen + Quote(tree / "server") + " " + Quote(tree / "expected") + strOptions +
                   " --seed 2 >/dev/null"))
            return 1;
        fs::remove_all(tree / "old");
        fs::remove_all(tree / "old_expected");
    }
    CServer server(tree / "server", dir);
    printf("server\t%s\n", server.Name().c_str());

    // The baseline: one curl process fetches every update zip over one connection.
    const fs::path baseline = dir / "baseline";
    const fs::path config = dir / "curl.conf";
    size_t zips = 0;
    {
        std::ofstream out(config);
        for (const auto& entry : fs::directory_iterator(tree / "server" / "Data"))
        {
            const std::string strName = entry.path().filename().string();
            if (strName.rfind("big.bin", 0) == 0)
                continue;
            out << "url = \"http://" << server.Host() << "/Data/" << strName << "\"\noutput = \""
                << (baseline / strName).string() << "\"\n";
            ++zips;
        }
    }
    const size_t changed = 8 * filesPerPack;
    const uint64_t qwChangedBytes = static_cast<uint64_t>(changed) * smallBytes;

    const fs::path project = dir / "project";
    bool bAll = true, bAllMet = true, bAllWrittenMet = true;
    printf("update\t%zu changed files of %zu bytes in a 500 MB installation, three runs\n", changed, smallBytes);
    for (int run = 1; run <= 3; ++run)
    {
        fs::remove_all(project);
        fs::copy(tree / "install", project, fs::copy_options::recursive);
        const SRunTimes times = RunPatch(project, server.Host());
        const bool bChecked = Shell("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py --check " +
                                    Quote(project) + strOptions + " --seed 2 >/dev/null");
        // The pack headers a run writes whole, whatever it does with the packs themselves.
        uint64_t qwHeaders = 0;
        for (const auto& entry : fs::directory_iterator(project / "PackFiles"))
            if (entry.path().extension() == ".csaheader")
                qwHeaders += entry.file_size();
        fs::remove_all(project);

        MakeEmptyDirectory(baseline);
        bool bBaseline = true;
        const double curlSeconds = KZBenchmarkSeconds([&] { bBaseline = Shell("curl -s -f -K " + Quote(config)); });
        fs::remove_all(baseline);

        const double goalSeconds = 2 * curlSeconds + 0.5;
        const bool bMet = times.bDone && times.total <= goalSeconds;
        const uint64_t qwWrittenGoal = 2 * qwChangedBytes + qwHeaders;
        const bool bWrittenMet = times.qwDiskWritten <= qwWrittenGoal;
        char szWhat[64];
        snprintf(szWhat, sizeof szWhat, "run %d: kzpatch run", run);
        PrintRun(szWhat, times);
        PrintSplit(times);
        printf("run %d: installation after the run\t%s\n", run, bChecked ? "matches the server" : "DIFFERS");
        printf("run %d: curl %zu zips\t%s\t%.3f s\n", run, zips, bBaseline ? "ok" : "FAILED", curlSeconds);
        printf("run %d: ratio (run time / curl time)\t%.2f\n", run, times.total / curlSeconds);
        printf("run %d: goal (run time <= 2 x curl + 0.5 s = %.3f s)\t%s\n", run, goalSeconds,
               bMet ? "met" : "missed");
        printf("run %d: disk written\t%.1f MB (changed files %.1f MB, pack headers %.1f MB)\n", run,
               times.qwDiskWritten / 1048576.0, qwChangedBytes / 1048576.0, qwHeaders / 1048576.0);
        printf("run %d: goal (written <= 2 x changed bytes + headers = %.1f MB)\t%s\n", run,
               qwWrittenGoal / 1048576.0, bWrittenMet ? "met" : "missed");
        bAll = bAll && times.bDone && bChecked && bBaseline;
        bAllMet = bAllMet && bMet;
        bAllWrittenMet = bAllWrittenMet && bWrittenMet;
    }
    printf("goal (run time <= 2 x curl + 0.5 s in three runs of three)\t%s\n", bAllMet ? "met" : "missed");
    printf("goal (written <= 2 x changed bytes + headers in three runs of three)\t%s\n",
           bAllWrittenMet ? "met" : "missed");
    return bAll ? 0 : 1;
}

// Version 1 and 2 of the client: 50 levels of 2-20 MB that change by 1-5 % (a run inserted, one
// overwritten and one moved elsewhere, each a third of the change), and unchanged 32 MB archives up to
// the size. Written by a child process, so that its buffers do not count in this one's memory.
bool GenerateDeltaClients(const fs::path& tree, size_t megabytes)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        std::mt19937_64 rng(7);
        fs::create_directories(tree / "v1/levels");
        fs::create_directories(tree / "v2/levels");
        fs::create_directories(tree / "app/Contents");
        WriteFile(tree / "app/Contents/Info.plist", "benchmark client");
        size_t total = 0;
        for (int i = 0; i < 50; ++i)
        {
            const size_t size = (2u << 20) + static_cast<size_t>(i) * (18u << 20) / 49;
            std::string strOld, strRun;
            AppendContent(rng, size, strOld);
            const size_t change = size * (1 + i % 5) / 100 / 3;
            std::string strNew = strOld;
            AppendContent(rng, change, strRun);
            strNew.replace(rng() % (strNew.size() - change), change, strRun); // overwritten
            strRun.clear();
            AppendContent(rng, change, strRun);
            strNew.insert(rng() % strNew.size(), strRun); // inserted
            const size_t from = rng() % (strNew.size() - change);
            const std::string strMoved = strNew.substr(from, change);
            strNew.erase(from, change);
            strNew.insert(rng() % strNew.size(), strMoved); // moved
            const std::string strName = "levels/level" + std::to_string(i) + ".pak";
            WriteFile(tree / "v1" / strName, strOld);
            WriteFile(tree / "v2" / strName, strNew);
            total += size;
        }
        for (int i = 0; total < (megabytes << 20); ++i, total += 32u << 20)
        {
            std::string strBytes;
            AppendContent(rng, 32u << 20, strBytes);
            const std::string strName = "archive" + std::to_string(i) + ".pak";
            WriteFile(tree / "v1" / strName, strBytes);
            fs::create_hard_link(tree / "v1" / strName, tree / "v2" / strName);
        }
        _exit(0);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Publishes both versions with kzpublish, the second with deltas and without, and installs the first
// with a new install run.
bool PrepareDeltaTrees(const fs::path& tree, size_t megabytes, const fs::path& dir)
{
    if (fs::exists(tree / "installed" / "Data.ccx"))
        return true;
    MakeEmptyDirectory(tree);
    const std::string strPublish = KZ_BINARY_DIR "/kzpublish ";
    if (!GenerateDeltaClients(tree, megabytes) ||
        !Shell(strPublish + Quote(tree / "v1") + " " + Quote(tree / "server1") + " --app " + Quote(tree / "app") +
               " >/dev/null") ||
        !Shell("cp -a " + Quote(tree / "server1") + " " + Quote(tree / "server2")) ||
        !Shell("cp -a " + Quote(tree / "server1") + " " + Quote(tree / "server2-zips")) ||
        !Shell(strPublish + Quote(tree / "v2") + " " + Quote(tree / "server2") + " --previous " +
               Quote(tree / "server2")) ||
        !Shell(strPublish + Quote(tree / "v2") + " " + Quote(tree / "server2-zips") + " --previous " +
               Quote(tree / "server2-zips") + " --keep-deltas 0 >/dev/null"))
        return false;
    CServer server(tree / "server1", dir);
    MakeEmptyDirectory(tree / "installed");
    return RunPatch(tree / "installed", server.Host()).bDone;
}

int DeltaUpdate(const fs::path& dir, size_t megabytes)
{
    const fs::path tree = dir / ("delta" + std::to_string(megabytes));
    if (!PrepareDeltaTrees(tree, megabytes, dir))
        return 1;
    const fs::path project = dir / "project";
    std::vector<double> withDeltas, withZips;
    uint64_t qwDeltaBytes = 0, qwZipBytes = 0;
    long deltaPeak = 0, zipPeak = 0;
    bool bDone = true;
    for (int i = 0; i < 3; ++i)
        for (const bool bDeltas : {true, false})
        {
            CServer server(tree / (bDeltas ? "server2" : "server2-zips"), dir);
            fs::remove_all(project);
            Shell("cp -a " + Quote(tree / "installed") + " " + Quote(project));
            const uint64_t qwBefore = server.BytesServed();
            const SRunTimes times = RunPatch(project, server.Host());
            const long peak = times.peakKilobytes;
            (bDeltas ? deltaPeak : zipPeak) = std::max(bDeltas ? deltaPeak : zipPeak, peak);
            const uint64_t qwServed = server.BytesServed() - qwBefore;
            const bool bSame = Shell(KZ_BINARY_DIR "/kztool verify " + Quote(project) + " >/dev/null");
            bDone = bDone && times.bDone && bSame;
            (bDeltas ? withDeltas : withZips).push_back(times.total);
            (bDeltas ? qwDeltaBytes : qwZipBytes) = qwServed;
            PrintRun(bDeltas ? "kzpatch run with deltas" : "kzpatch run with update zips", times);
            printf("\tserved %.1f MB, peak resident memory %.1f MB, installation %s\n", qwServed / 1048576.0,
                   peak / 1024.0, bSame ? "verified" : "DIFFERS");
        }
    fs::remove_all(project);
    std::sort(withDeltas.begin(), withDeltas.end());
    std::sort(withZips.begin(), withZips.end());
    printf("update\t50 changed files of 2-20 MB in a %zu MB client\n", megabytes);
    printf("served with deltas\t%.1f MB\nserved with update zips\t%.1f MB\n", qwDeltaBytes / 1048576.0,
           qwZipBytes / 1048576.0);
    const double share = qwZipBytes ? double(qwDeltaBytes) / double(qwZipBytes) : 1;
    printf("share\t%.1f %% (goal <= 10 %%: %s)\n", 100 * share, share <= 0.10 ? "met" : "missed");
    printf("median run with deltas\t%.3f s\nmedian run with update zips\t%.3f s\n", withDeltas[1], withZips[1]);
    printf("ratio (deltas / zips)\t%.2f (goal <= 1: %s)\n", withDeltas[1] / withZips[1],
           withDeltas[1] <= withZips[1] ? "met" : "missed");
    printf("peak resident memory of a run\twith deltas %.1f MB, with update zips %.1f MB\n", deltaPeak / 1024.0,
           zipPeak / 1024.0);
    printf("goal (with deltas < 64 MB + the largest base, 20 MB)\t%s\n", deltaPeak < 84 * 1024 ? "met" : "missed");
    return bDone ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    const std::string strMode = argc > 1 ? argv[1] : "";
    const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "kzwholerun_bench";
    const size_t count = argc > 3 ? strtoul(argv[3], nullptr, 10) : 0;
    fs::create_directories(dir);
    if (strMode == "install")
        return NewInstall(dir, count ? count : 256);
    if (strMode == "update")
        return Update(dir, count ? count : 1000);
    if (strMode == "memory")
        return PeakMemory(dir, count ? count : 1024);
    if (strMode == "signed")
        return SignedInstall(dir, count ? count : 256);
    if (strMode == "delta")
        return DeltaUpdate(dir, count ? count : 1024);
    fprintf(stderr, "usage: KZWholeRunBenchmark install|update|memory|signed|delta [DIR] [MEGABYTES or FILES]\n");
    return 2;
}
