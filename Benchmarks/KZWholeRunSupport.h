#pragma once
// What the whole-run benchmarks share: nginx on loopback with a log of what it served, a patch run
// driven through the C interface as a launcher drives it (with the moments that split its time, its
// peak resident memory and the bytes it wrote to disk), and game-like file content.

#include "PatchLibrary/KZPatchAPI.h"
#include "Base/Net/KZInternet.h"
#include "Tests/Fixtures/KZTestHttpServer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace KZWholeRun
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline bool Shell(const std::string& strCommand)
{
    return system(strCommand.c_str()) == 0;
}

inline std::string Quote(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// A new, empty folder at path, whatever stood there.
inline void MakeEmptyDirectory(const fs::path& path)
{
    fs::remove_all(path);
    fs::create_directories(path);
}

// One answer nginx logged.
struct SServedRequest
{
    std::string strMethod;
    int status = 0;
    uint64_t qwBytes = 0;
    std::string strUri;
};

// nginx serving a directory on a free loopback port, as the demo server does. Its access log holds
// one line per answer: method, status, body bytes and path.
class CNginx
{
public:
    CNginx(const fs::path& root, const fs::path& work)
    {
        fs::create_directories(work / "logs");
        m_port = FreePort();
        const fs::path conf = work / "nginx.conf";
        m_accessLog = work / "logs/access.log";
        fs::remove(m_accessLog);
        std::ofstream(conf) << "daemon off;\nworker_processes 1;\npid " << (work / "nginx.pid").string()
                            << ";\nerror_log " << (work / "logs/error.log").string()
                            << ";\nevents { worker_connections 64; }\nhttp {\n"
                            << " log_format served '$request_method $status $body_bytes_sent $uri';\n"
                            << " access_log " << m_accessLog.string() << " served;\n sendfile on;\n"
                            << " keepalive_requests 100000;\n server {\n  listen 127.0.0.1:" << m_port
                            << ";\n  root " << root.string() << ";\n }\n}\n";
        m_pid = fork();
        if (m_pid == 0)
        {
            execlp("nginx", "nginx", "-p", work.c_str(), "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once it answers.
        for (int i = 0; i < 500 && !Shell("curl -s -o /dev/null http://127.0.0.1:" + std::to_string(m_port) + "/");
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~CNginx()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    CNginx(const CNginx&) = delete;
    CNginx& operator=(const CNginx&) = delete;
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Every answer so far (the log is written as each answer ends).
    std::vector<SServedRequest> Requests() const
    {
        std::vector<SServedRequest> vecRequests;
        std::ifstream log(m_accessLog);
        for (std::string strLine; std::getline(log, strLine);)
        {
            std::istringstream fields(strLine);
            SServedRequest request;
            if (fields >> request.strMethod >> request.status >> request.qwBytes >> request.strUri)
                vecRequests.push_back(request);
        }
        return vecRequests;
    }
    // The body bytes served so far.
    uint64_t BytesServed() const
    {
        uint64_t qwTotal = 0;
        for (const SServedRequest& request : Requests())
            qwTotal += request.qwBytes;
        return qwTotal;
    }

private:
    static int FreePort()
    {
        FILE* pPipe = popen("python3 -c 'import socket; s=socket.socket(); s.bind((\"127.0.0.1\",0)); "
                            "print(s.getsockname()[1])'",
                            "r");
        int port = 0;
        if (pPipe)
        {
            if (fscanf(pPipe, "%d", &port) != 1)
                port = 0;
            pclose(pPipe);
        }
        return port;
    }
    pid_t m_pid = -1;
    int m_port = 0;
    fs::path m_accessLog;
};

inline bool HaveNginx()
{
    return Shell("command -v nginx >/dev/null 2>&1");
}

// One of the two servers over a directory.
class CServer
{
public:
    CServer(const fs::path& root, const fs::path& work)
    {
        if (HaveNginx())
        {
            m_nginx.reset(new CNginx(root, work / "nginx"));
            m_strHost = m_nginx->Host();
            m_strName = "nginx";
        }
        else
        {
            m_fixture.reset(new CKZTestHttpServer(root.string()));
            m_strHost = m_fixture->Host();
            m_strName = "fixture server (Tests/Fixtures/http_server.py; nginx is not installed)";
        }
    }
    const std::string& Host() const { return m_strHost; }
    const std::string& Name() const { return m_strName; }
    uint64_t BytesServed() const
    {
        if (m_nginx)
            return m_nginx->BytesServed();
        std::string strJson;
        KZInternet::HttpRequest(("http://" + m_strHost + "/_count/_bytes").c_str(), strJson, nullptr);
        const size_t at = strJson.find(':');
        return at == std::string::npos ? 0 : strtoull(strJson.c_str() + at + 1, nullptr, 10);
    }

private:
    std::unique_ptr<CNginx> m_nginx;
    std::unique_ptr<CKZTestHttpServer> m_fixture;
    std::string m_strHost, m_strName;
};

inline long PeakResidentKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The peak resident memory since the last reset (Linux keeps it per process as VmHWM; writing 5 to
// clear_refs starts it afresh), else since the process started.
inline void ResetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

inline long PeakResidentSinceReset()
{
    std::ifstream status("/proc/self/status");
    for (std::string strLine; std::getline(status, strLine);)
        if (strLine.rfind("VmHWM:", 0) == 0)
            return strtol(strLine.c_str() + 6, nullptr, 10);
    return PeakResidentKilobytes();
}

// This process's resident memory now in KB: anonymous (heap, stacks) and file pages (mapped files,
// among them the library's own code).
struct SResident
{
    long anonymous = 0, file = 0;
};

inline SResident ResidentNow()
{
    SResident resident;
    std::ifstream status("/proc/self/status");
    for (std::string strLine; std::getline(status, strLine);)
        if (strLine.rfind("RssAnon:", 0) == 0)
            resident.anonymous = strtol(strLine.c_str() + 8, nullptr, 10);
        else if (strLine.rfind("RssFile:", 0) == 0 || strLine.rfind("RssShmem:", 0) == 0)
            resident.file += strtol(strLine.c_str() + 9, nullptr, 10);
    return resident;
}

// The bytes this process (all its threads, also those that ended) has sent towards the disk: pages
// count as they are dirtied, and a file truncated or removed while its pages are still dirty takes
// them back.
inline uint64_t DiskBytesWritten()
{
    std::ifstream io("/proc/self/io");
    uint64_t qwWritten = 0, qwCancelled = 0;
    for (std::string strLine; std::getline(io, strLine);)
    {
        if (strLine.rfind("write_bytes:", 0) == 0)
            qwWritten = strtoull(strLine.c_str() + 12, nullptr, 10);
        else if (strLine.rfind("cancelled_write_bytes:", 0) == 0)
            qwCancelled = strtoull(strLine.c_str() + 22, nullptr, 10);
    }
    return qwWritten > qwCancelled ? qwWritten - qwCancelled : 0;
}

struct SRunTimes
{
    bool bDone = false;
    bool bTimedOut = false;
    int32_t errorCode = 0;
    // Seconds from kzpatch_init; 0 when the moment never came.
    double total = 0, installing = 0, listed = 0, filesIn = 0;
    double initialized = 0, clientFrom = 0, firstDownload = 0, downloaded = 0;
    uint32_t files = 0;
    uint64_t qwBytes = 0, qwDownloadBytes = 0;
    long peakKilobytes = 0;
    // Resident when the run began (what an earlier run's threads left in the heap is given back
    // first), and the highest anonymous and file parts seen by the polling.
    long residentBefore = 0, peakAnonymous = 0, peakFile = 0;
    uint64_t qwDiskWritten = 0;
};

// Drives a run as a launcher does, polling every 5 ms, and notes when it reaches each status, when
// its file list is known, when its first and last download bytes arrive and when every file is in
// (downloaded and unpacked). The peak resident memory and the disk bytes written are this process's
// during the run and its teardown; what other work left dirty is written out before, so that the run
// neither pays for it nor has it counted against it.
inline SRunTimes RunPatch(const fs::path& project, const std::string& strHost, double timeoutSeconds = 3600)
{
    SRunTimes times;
    sync();
    malloc_trim(0);
    ResetPeakResident();
    times.residentBefore = PeakResidentSinceReset();
    const uint64_t qwWrittenBefore = DiskBytesWritten();
    const auto start = Clock::now();
    const auto since = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
    std::vector<std::pair<double, uint64_t>> vecDownloaded; // when the download count changed, and to what
    vecDownloaded.reserve(1 << 16);
    const auto finish = [&] {
        times.peakKilobytes = PeakResidentSinceReset();
        const uint64_t qwWrittenAfter = DiskBytesWritten();
        times.qwDiskWritten = qwWrittenAfter - std::min(qwWrittenAfter, qwWrittenBefore);
        return times;
    };
    if (!kzpatch_init(project.c_str(), strHost.c_str()))
        return finish();
    while (kzpatch_get_status() == KZ_PATCH_INITIALIZING && since() < timeoutSeconds)
        pause();
    times.initialized = since();
    for (bool bStarted = kzpatch_start(); bStarted;)
    {
        const KZPatchStatus status = kzpatch_get_status();
        if (status == KZ_PATCH_DONE || status == KZ_PATCH_FAILED)
            break;
        if (since() > timeoutSeconds && !times.bTimedOut)
        {
            times.bTimedOut = true;
            kzpatch_cancel();
        }
        if (status == KZ_PATCH_UPDATING_CLIENT && times.clientFrom == 0)
            times.clientFrom = since();
        if (status == KZ_PATCH_INSTALLING && times.installing == 0)
            times.installing = since();
        const uint32_t total = kzpatch_get_total_files();
        if (total > 0 && times.listed == 0)
            times.listed = since();
        if (total > 0 && times.filesIn == 0 && kzpatch_get_current_files() == total)
            times.filesIn = since();
        const uint64_t qwDownloaded = kzpatch_get_current_download_bytes();
        if (vecDownloaded.empty() || vecDownloaded.back().second != qwDownloaded)
            vecDownloaded.emplace_back(since(), qwDownloaded);
        const SResident resident = ResidentNow();
        times.peakAnonymous = std::max(times.peakAnonymous, resident.anonymous);
        times.peakFile = std::max(times.peakFile, resident.file);
        if (since() > timeoutSeconds + 60)
            break; // the cancel was not taken either
        pause();
    }
    times.total = since();
    // The download count also takes in the bytes merged into packs, which come once every file is
    // in: the downloads are what it held then.
    uint64_t qwDownloads = 0;
    for (const auto& sample : vecDownloaded)
        if (times.filesIn > 0 && sample.first <= times.filesIn)
            qwDownloads = sample.second;
    for (const auto& sample : vecDownloaded)
    {
        if (qwDownloads > 0 && sample.second > 0 && times.firstDownload == 0)
            times.firstDownload = sample.first;
        if (qwDownloads > 0 && sample.second >= qwDownloads && times.downloaded == 0)
            times.downloaded = sample.first;
    }
    times.bDone = kzpatch_get_status() == KZ_PATCH_DONE;
    times.errorCode = kzpatch_get_error_code();
    times.files = kzpatch_get_total_files();
    times.qwBytes = kzpatch_get_total_bytes();
    times.qwDownloadBytes = kzpatch_get_total_download_bytes();
    kzpatch_destroy();
    const auto destroyed = Clock::now() + std::chrono::seconds(120);
    while (kzpatch_get_status() == KZ_PATCH_DESTROYING && Clock::now() < destroyed)
        pause();
    return finish();
}

inline void PrintRun(const char* szWhat, const SRunTimes& times)
{
    printf("%s\t%s\t%.3f s\t(installing from %.3f s, file list at %.3f s, files in at %.3f s, error code %d)\n",
           szWhat, times.bDone ? "done" : times.bTimedOut ? "TIMED OUT" : "FAILED", times.total, times.installing,
           times.listed, times.filesIn, times.errorCode);
}

// Where a run's time went: the moments the C interface shows, in the order they came, each with the
// time since the one before. What follows "files in" is the pack merge and the catalogue's install.
inline void PrintSplit(const SRunTimes& times)
{
    std::vector<std::pair<double, const char*>> vecMoments = {{times.initialized, "initialized"},
                                                              {times.clientFrom, "client application"},
                                                              {times.installing, "installing"},
                                                              {times.listed, "file list"},
                                                              {times.firstDownload, "first download byte"},
                                                              {times.downloaded, "last download byte"},
                                                              {times.filesIn, "files in"}};
    vecMoments.erase(std::remove_if(vecMoments.begin(), vecMoments.end(),
                                    [](const std::pair<double, const char*>& moment) { return moment.first <= 0; }),
                     vecMoments.end());
    std::stable_sort(vecMoments.begin(), vecMoments.end(),
                     [](const std::pair<double, const char*>& a, const std::pair<double, const char*>& b) {
                         return a.first < b.first;
                     });
    vecMoments.emplace_back(times.total, "done");
    printf("\tsplit:");
    double previous = 0;
    for (size_t i = 0; i < vecMoments.size(); ++i)
    {
        printf(" %s %.3f s (+%.3f)%s", vecMoments[i].second, vecMoments[i].first, vecMoments[i].first - previous,
               i + 1 == vecMoments.size() ? "\n" : ",");
        previous = vecMoments[i].first;
    }
}

inline void PrintResources(const SRunTimes& times)
{
    printf("\tfiles %u, bytes %llu, download bytes %llu (as the C interface counts them)\n", times.files,
           static_cast<unsigned long long>(times.qwBytes), static_cast<unsigned long long>(times.qwDownloadBytes));
    printf("\tpeak resident %.1f MB (goal < 64 MB: %s; %.1f MB before the run; highest seen: anonymous %.1f MB, "
           "file pages %.1f MB)\n",
           times.peakKilobytes / 1024.0, times.peakKilobytes < 64 * 1024 ? "met" : "missed",
           times.residentBefore / 1024.0, times.peakAnonymous / 1024.0, times.peakFile / 1024.0);
    printf("\tdisk written %.1f MB\n", times.qwDiskWritten / 1048576.0);
}

// Game-like bytes: 64 KB pieces, half of them random and half structured records that a zip
// deflates well.
inline void AppendContent(std::mt19937_64& rng, size_t size, std::string& strOut)
{
    const size_t kPiece = 64 << 10;
    strOut.reserve(strOut.size() + size);
    for (size_t done = 0; done < size; done += kPiece)
    {
        const size_t n = std::min(kPiece, size - done);
        const bool bRandom = rng() & 1;
        const uint64_t qwBase = rng();
        for (size_t i = 0; i < n; i += 8)
        {
            const uint64_t qwValue = bRandom ? rng() : qwBase + (i / 64) * 0x0101;
            strOut.append(reinterpret_cast<const char*>(&qwValue), std::min<size_t>(8, n - i));
        }
    }
}

inline bool WriteFile(const fs::path& path, const std::string& strBytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(strBytes.data(), static_cast<std::streamsize>(strBytes.size()));
    return static_cast<bool>(out.flush());
}

// Runs work in a child process and tells whether it returned true: what it allocates never counts in
// this process's memory.
template <typename Work> bool InChildProcess(Work work)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work() ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace KZWholeRun
