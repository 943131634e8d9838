// A game-sized client through the runs a launcher makes, each timed against the baseline tools doing
// the same work in the same run:
//   KZGameRunBenchmark [DIR] [MEGABYTES] [FILES] [CHANGED]
// A client of FILES files (default 20,000) totalling MEGABYTES (default 4,096): many small files, some
// of several MB and a few of tens of MB, half of their bytes random and half structured. kzpublish
// writes it in 64 MB packs, and a second time with --previous after CHANGED files (default 500) of
// assorted sizes changed (with its deltas, as a publisher runs it). nginx serves both trees, and the
// client goes through three runs of the C interface:
//   new install   against one curl fetching the full-install zips and unzip -o unpacking them
//   no-op update  the same server again
//   update        the second tree, against one curl fetching everything the run fetched
// Each run prints its time, where the time went, its peak resident memory and the bytes it wrote to
// disk. The server trees stay in DIR (default $TMPDIR/kzgame_bench) so that a repeated run only
// measures; delete DIR to generate afresh.

#include "Benchmarks/KZBenchmarkTiming.h"
#include "Benchmarks/KZWholeRunSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace KZWholeRun;

namespace
{
const uint32_t kPackBytes = 64u << 20;

struct SGameFile
{
    std::string strPath; // below the client folder
    size_t size = 0;
    bool bChanged = false;
};

// Sizes drawn log-uniformly within three kinds of file, each kind scaled to its share of the bytes:
// 0.15 % of the files, tens of MB each (levels, movies), hold a quarter; 5 %, of several MB
// (textures, models), hold half; the rest, from about a KB to a few hundred KB (scripts, sounds,
// interface), hold the last quarter. Paths group each kind in folders of 200, as a game's content
// tree does, so that a pack holds files of one kind.
std::vector<SGameFile> PlanClient(uint64_t qwBytes, size_t files, size_t changed, std::mt19937_64& rng)
{
    struct SKind
    {
        size_t count;
        double share, spread;
        std::vector<const char*> vecFolders;
        const char* szExtension;
    };
    const size_t large = std::max<size_t>(1, files * 3 / 2000);
    const size_t medium = std::max<size_t>(1, files / 20);
    const size_t small = files > large + medium ? files - large - medium : 1;
    const SKind kinds[] = {{large, 0.25, 4, {"levels", "movies"}, ".pak"},
                           {medium, 0.50, 12, {"textures", "models", "music"}, ".res"},
                           {small, 0.25, 256, {"scripts", "sounds", "ui", "localization", "shaders"}, ".dat"}};
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<SGameFile> vecFiles;
    size_t index = 0;
    for (const SKind& kind : kinds)
    {
        std::vector<double> vecWeights(kind.count);
        double sum = 0;
        for (double& weight : vecWeights)
            sum += weight = std::exp(unit(rng) * std::log(kind.spread));
        for (size_t i = 0; i < kind.count; ++i, ++index)
        {
            SGameFile file;
            file.size = std::max<size_t>(1, static_cast<size_t>(kind.share * static_cast<double>(qwBytes) *
                                                                vecWeights[i] / sum));
            const char* szFolder = kind.vecFolders[i % kind.vecFolders.size()];
            const size_t inFolder = i / kind.vecFolders.size();
            char szName[64];
            snprintf(szName, sizeof szName, "/set%03zu/%s_%06zu%s", inFolder / 200, szFolder, index, kind.szExtension);
            file.strPath = szFolder + std::string(szName);
            vecFiles.push_back(file);
        }
    }
    // Every n-th file by size changes, so that the changed files have the sizes of the client's files.
    std::vector<size_t> vecBySize(vecFiles.size());
    for (size_t i = 0; i < vecBySize.size(); ++i)
        vecBySize[i] = i;
    std::stable_sort(vecBySize.begin(), vecBySize.end(),
                     [&](size_t a, size_t b) { return vecFiles[a].size < vecFiles[b].size; });
    changed = std::min(changed, vecFiles.size());
    for (size_t i = 0; i < changed; ++i)
        vecFiles[vecBySize[i * vecFiles.size() / changed + vecFiles.size() / changed / 2]].bChanged = true;
    return vecFiles;
}

// A new version of a file as a game patch changes one: 1-5 % of it changed in three runs, one
// overwritten, one inserted and one moved elsewhere. A file too small for that is written anew.
std::string ChangedContent(std::mt19937_64& rng, const std::string& strOld, size_t k)
{
    std::string strNew, strRun;
    const size_t change = std::max<size_t>(16, strOld.size() * (1 + k % 5) / 300);
    if (strOld.size() < 8 * change)
    {
        AppendContent(rng, strOld.size() + change, strNew);
        return strNew;
    }
    strNew = strOld;
    AppendContent(rng, change, strRun);
    strNew.replace(rng() % (strNew.size() - change), change, strRun);
    strRun.clear();
    AppendContent(rng, change, strRun);
    strNew.insert(rng() % strNew.size(), strRun);
    const size_t from = rng() % (strNew.size() - change);
    const std::string strMoved = strNew.substr(from, change);
    strNew.erase(from, change);
    strNew.insert(rng() % strNew.size(), strMoved);
    return strNew;
}

// Both versions of the client: v1 in full, v2 as hard links to v1 but for the changed files.
// changes.txt lists each changed file's new size and path.
bool WriteClients(const fs::path& tree, const std::vector<SGameFile>& vecFiles, std::mt19937_64& rng)
{
    fs::create_directories(tree / "app/Contents");
    if (!WriteFile(tree / "app/Contents/Info.plist", "benchmark client"))
        return false;
    std::ofstream changes(tree / "changes.txt");
    size_t k = 0;
    for (const SGameFile& file : vecFiles)
    {
        const fs::path v1 = tree / "v1" / file.strPath, v2 = tree / "v2" / file.strPath;
        fs::create_directories(v1.parent_path());
        fs::create_directories(v2.parent_path());
        std::string strBytes;
        AppendContent(rng, file.size, strBytes);
        if (!WriteFile(v1, strBytes))
            return false;
        if (!file.bChanged)
        {
            fs::create_hard_link(v1, v2);
            continue;
        }
        const std::string strNew = ChangedContent(rng, strBytes, k++);
        if (!WriteFile(v2, strNew))
            return false;
        changes << strNew.size() << " " << file.strPath << "\n";
    }
    return static_cast<bool>(changes.flush());
}

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// kzpublish's closing lines, kept beside the tree.
bool Publish(const std::string& strArguments, const fs::path& log)
{
    const bool bPublished = Shell(KZ_BINARY_DIR "/kzpublish " + strArguments + " >" + Quote(log) + " 2>&1");
    std::ifstream in(log);
    for (std::string strLine; std::getline(in, strLine);)
        printf("\t%s\n", strLine.c_str());
    return bPublished;
}

// The client, both server trees, and nothing else that takes room: once published, the client
// folders go (server2 shares server1's unchanged zips through hard links; kzpublish replaces a file
// by renaming, so server1 keeps its bytes).
bool PrepareTrees(const fs::path& tree, uint64_t qwBytes, size_t files, size_t changed)
{
    if (fs::exists(tree / "ready"))
        return true;
    MakeEmptyDirectory(tree);
    printf("generating\t%zu files, %.0f MB, %zu changed, into %s\n", files, qwBytes / 1048576.0, changed,
           tree.c_str());
    fflush(stdout);
    auto start = Clock::now();
    const bool bWritten = InChildProcess([&] {
        std::mt19937_64 rng(20000);
        return WriteClients(tree, PlanClient(qwBytes, files, changed, rng), rng);
    });
    if (!bWritten)
        return false;
    printf("written\t%.1f s\n", Seconds(start));
    start = Clock::now();
    if (!Publish(Quote(tree / "v1") + " " + Quote(tree / "server1") + " --app " + Quote(tree / "app"),
                 tree / "publish1.log"))
        return false;
    printf("published version 1\t%.1f s\n", Seconds(start));
    start = Clock::now();
    if (!Shell("cp -al " + Quote(tree / "server1") + " " + Quote(tree / "server2")) ||
        !Publish(Quote(tree / "v2") + " " + Quote(tree / "server2") + " --previous " + Quote(tree / "server2"),
                 tree / "publish2.log"))
        return false;
    printf("published version 2\t%.1f s\n", Seconds(start));
    fs::remove_all(tree / "v1");
    fs::remove_all(tree / "v2");
    std::ofstream(tree / "ready") << "1\n";
    return true;
}

// The installation is what the tree publishes: every packed file as its catalogue says, and the
// server's catalogue in place.
bool Verified(const fs::path& project, const fs::path& server)
{
    return Shell(KZ_BINARY_DIR "/kztool verify " + Quote(project) + " >/dev/null 2>&1") &&
           Shell("cmp -s " + Quote(project / "Data.ccx") + " " + Quote(server / "Data.ccx"));
}

uint64_t ChangedBytes(const fs::path& tree, size_t& files)
{
    std::ifstream changes(tree / "changes.txt");
    uint64_t qwTotal = 0;
    files = 0;
    for (std::string strLine; std::getline(changes, strLine); ++files)
        qwTotal += strtoull(strLine.c_str(), nullptr, 10);
    return qwTotal;
}

double Megabytes(uint64_t qwBytes)
{
    return static_cast<double>(qwBytes) / 1048576.0;
}

// One curl process over a list of paths of the server, saved below folder; the seconds it took.
double CurlSeconds(const std::string& strHost, const std::vector<std::string>& vecPaths, const fs::path& folder,
                   const fs::path& config, bool& bOk)
{
    MakeEmptyDirectory(folder);
    {
        std::ofstream out(config);
        size_t n = 0;
        for (const std::string& strPath : vecPaths)
            out << "url = \"http://" << strHost << strPath << "\"\noutput = \"" << (folder / std::to_string(n++)).string()
                << "\"\n";
    }
    sync();
    const double seconds = KZBenchmarkSeconds([&] { bOk = Shell("curl -s -f -K " + Quote(config)); });
    fs::remove_all(folder);
    return seconds;
}

int GameRun(const fs::path& dir, size_t megabytes, size_t files, size_t changed)
{
    if (!HaveNginx())
    {
        fprintf(stderr, "KZGameRunBenchmark: needs nginx (apt-get install nginx-light)\n");
        return 1;
    }
    const fs::path tree =
        dir / ("game" + std::to_string(megabytes) + "x" + std::to_string(files) + "c" + std::to_string(changed));
    if (!PrepareTrees(tree, static_cast<uint64_t>(megabytes) << 20, files, changed))
    {
        fprintf(stderr, "KZGameRunBenchmark: the trees could not be written in %s\n", tree.c_str());
        return 1;
    }
    size_t changedFiles = 0;
    const uint64_t qwChanged = ChangedBytes(tree, changedFiles);
    std::vector<std::string> vecZips;
    for (size_t n = 0; fs::exists(tree / "server1" / ("Data" + std::to_string(n) + ".zip")); ++n)
        vecZips.push_back("Data" + std::to_string(n) + ".zip");
    uint64_t qwZipBytes = 0;
    for (const std::string& strZip : vecZips)
        qwZipBytes += fs::file_size(tree / "server1" / strZip);
    printf("server\tnginx\nclient\t%zu files, %zu MB, in %zu full-install zips of %.1f MB (packs of %u MB)\n", files,
           megabytes, vecZips.size(), Megabytes(qwZipBytes), kPackBytes >> 20);

    const fs::path project = dir / "project", baseline = dir / "baseline", config = dir / "curl.conf";
    bool bAll = true;

    // New install, then the baselines: curl fetches the zips in one process, then (its files gone
    // again, to keep the disk's room) unzip -o unpacks the server's own copies one after the other.
    MakeEmptyDirectory(project);
    SRunTimes install;
    bool bInstalled = false;
    double curlSeconds = 0, unzipSeconds = 0;
    bool bCurl = true, bUnzip = true;
    {
        CNginx server(tree / "server1", dir / "nginx1");
        install = RunPatch(project, server.Host());
        bInstalled = install.bDone && Verified(project, tree / "server1");
        std::vector<std::string> vecPaths;
        for (const std::string& strZip : vecZips)
            vecPaths.push_back("/" + strZip);
        curlSeconds = CurlSeconds(server.Host(), vecPaths, baseline, config, bCurl);
    }
    {
        MakeEmptyDirectory(baseline);
        std::string strUnzip = "cd " + Quote(baseline) + " && true";
        for (const std::string& strZip : vecZips)
            strUnzip += " && unzip -q -o " + Quote(tree / "server1" / strZip);
        sync();
        unzipSeconds = KZBenchmarkSeconds([&] { bUnzip = Shell(strUnzip); });
        fs::remove_all(baseline);
    }
    const double installBase = std::max(curlSeconds, unzipSeconds);
    printf("new install\t%zu MB in %zu zips\n", megabytes, vecZips.size());
    PrintRun("kzpatch run", install);
    PrintSplit(install);
    PrintResources(install);
    printf("\tinstallation %s\n", bInstalled ? "verified" : "DIFFERS");
    printf("curl %zu zips\t%s\t%.3f s\n", vecZips.size(), bCurl ? "ok" : "FAILED", curlSeconds);
    printf("unzip -o %zu zips\t%s\t%.3f s\n", vecZips.size(), bUnzip ? "ok" : "FAILED", unzipSeconds);
    printf("ratio (run time / max(curl, unzip))\t%.2f\n", install.total / installBase);
    printf("goal (new install <= 1.2 x max(curl, unzip) = %.3f s)\t%s\n", 1.2 * installBase,
           install.bDone && install.total <= 1.2 * installBase ? "met" : "missed");
    fflush(stdout);
    bAll = bAll && bInstalled && bCurl && bUnzip;

    // A launcher's run on a client already up to date.
    SRunTimes noop;
    {
        CNginx server(tree / "server1", dir / "nginx1");
        noop = RunPatch(project, server.Host());
        printf("no-op update\tthe same server again, %.1f KB served\n", server.BytesServed() / 1024.0);
    }
    PrintRun("kzpatch run", noop);
    PrintSplit(noop);
    PrintResources(noop);
    printf("goal (no-op update < 2 s)\t%s\n", noop.bDone && noop.total < 2 ? "met" : "missed");
    fflush(stdout);
    bAll = bAll && noop.bDone;

    // The update; the baseline fetches what nginx says the run fetched, over one connection.
    SRunTimes update;
    bool bUpdated = false;
    uint64_t qwServed = 0, qwCurlServed = 0;
    size_t fetched = 0, deltas = 0;
    double updateCurl = 0;
    bool bUpdateCurl = true;
    {
        CNginx server(tree / "server2", dir / "nginx2");
        update = RunPatch(project, server.Host());
        bUpdated = update.bDone && Verified(project, tree / "server2");
        std::vector<std::string> vecPaths;
        std::set<std::string> setSeen;
        const std::vector<SServedRequest> vecRequests = server.Requests();
        for (const SServedRequest& request : vecRequests)
        {
            qwServed += request.qwBytes;
            if (request.strMethod == "GET" && (request.status == 200 || request.status == 206) &&
                setSeen.insert(request.strUri).second)
            {
                vecPaths.push_back(request.strUri);
                deltas += request.strUri.size() > 6 && request.strUri.compare(request.strUri.size() - 6, 6, ".delta") == 0;
            }
        }
        fetched = vecPaths.size();
        updateCurl = CurlSeconds(server.Host(), vecPaths, baseline, config, bUpdateCurl);
        qwCurlServed = server.BytesServed() - qwServed;
    }
    printf("update\t%zu changed files, %.1f MB in their new versions\n", changedFiles, Megabytes(qwChanged));
    PrintRun("kzpatch run", update);
    PrintSplit(update);
    PrintResources(update);
    printf("\tinstallation %s\n", bUpdated ? "verified" : "DIFFERS");
    printf("served to the run\t%.1f MB in %zu files (%zu of them deltas)\n", Megabytes(qwServed), fetched, deltas);
    printf("curl of the same %zu files\t%s\t%.3f s\t%.1f MB\n", fetched, bUpdateCurl ? "ok" : "FAILED", updateCurl,
           Megabytes(qwCurlServed));
    printf("ratio (run time / curl time)\t%.2f\n", update.total / updateCurl);
    printf("disk written / changed bytes\t%.1f\n", static_cast<double>(update.qwDiskWritten) /
                                                       static_cast<double>(std::max<uint64_t>(1, qwChanged)));
    bAll = bAll && bUpdated && bUpdateCurl;
    fs::remove_all(project);

    const long peak = std::max({install.peakKilobytes, noop.peakKilobytes, update.peakKilobytes});
    printf("goal (peak resident < 64 MB in each run)\t%s (highest %.1f MB)\n", peak < 64 * 1024 ? "met" : "missed",
           peak / 1024.0);
    return bAll ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0); // a long run's lines reach a log as they come
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kzgame_bench";
    const size_t megabytes = argc > 2 ? strtoul(argv[2], nullptr, 10) : 4096;
    const size_t files = argc > 3 ? strtoul(argv[3], nullptr, 10) : 20000;
    const size_t changed = argc > 4 ? strtoul(argv[4], nullptr, 10) : 500;
    if (argc > 5 || megabytes == 0 || files == 0 || changed > files)
    {
        fprintf(stderr, "usage: KZGameRunBenchmark [DIR] [MEGABYTES] [FILES] [CHANGED]\n");
        return 2;
    }
    fs::create_directories(dir);
    return GameRun(dir, megabytes, files, changed);
}
