#include "Base/Net/KZInternet.h"

#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace
{
struct SProgressLog
{
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};

void RecordProgress(void* pUser, uint64_t qwDone, uint64_t qwTotal)
{
    static_cast<SProgressLog*>(pUser)->calls.emplace_back(qwDone, qwTotal);
}

// Fields of one download request in the tests.
struct SGet
{
    int64_t resumeTime = -1;
    CKZTransferSession* pSession = nullptr;
    SProgressLog* pLog = nullptr;
    uint64_t qwMaxBytes = 0;
};
class KZInternetTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_root = fs::temp_directory_path() / ("kzinternet_" + std::to_string(getpid()));
        fs::create_directories(s_root / "dir");
        std::string data;
        for (int i = 0; i < 300000; ++i)
            data += static_cast<char>('a' + i % 26);
        std::ofstream(s_root / "dir" / "big.bin", std::ios::binary) << data;
        std::ofstream(s_root / "answer.json") << "{\"ok\": true}";
        s_pServer = new CKZTestHttpServer(s_root.string());
    }
    static void TearDownTestSuite()
    {
        delete s_pServer;
        fs::remove_all(s_root);
    }
    void SetUp() override { ASSERT_NE(s_pServer->Port(), 0); }

    // One download with the given request fields; how it ended lands in result.
    static bool Get(const std::string& strUrl, const fs::path& local, KZInternet::SKZTransferResult& result,
                    const SGet& options = SGet())
    {
        KZInternet::SKZDownloadRequest request;
        request.szUrl = strUrl.c_str();
        request.szLocalPath = local.c_str();
        request.pSession = options.pSession;
        request.resumeTime = options.resumeTime;
        request.qwMaxBytes = options.qwMaxBytes;
        request.pUser = options.pLog;
        request.pCallback = options.pLog ? RecordProgress : nullptr;
        return KZInternet::HttpGetFile(request, result);
    }
    static SGet Resuming(int64_t resumeTime)
    {
        SGet options;
        options.resumeTime = resumeTime;
        return options;
    }

    // The last request the server saw, as its JSON text.
    static std::string LastRequest()
    {
        std::string strAnswer;
        EXPECT_TRUE(KZInternet::HttpRequest(s_pServer->Url("_last").c_str(), strAnswer, nullptr));
        return strAnswer;
    }

    static fs::path s_root;
    static CKZTestHttpServer* s_pServer;
};
fs::path KZInternetTest::s_root;
CKZTestHttpServer* KZInternetTest::s_pServer = nullptr;
} // namespace

TEST_F(KZInternetTest, GetFileDeliversTheBytesWithProgress)
{
    const fs::path local = s_root / "out.bin";
    SProgressLog log;
    ASSERT_TRUE(KZInternet::HttpGetFile(s_pServer->Url("dir/big.bin").c_str(), local.c_str(), 15000, &log,
                                        RecordProgress));
    EXPECT_EQ(KZTestReadFile(local), KZTestReadFile(s_root / "dir" / "big.bin"));
    ASSERT_FALSE(log.calls.empty());
    for (size_t i = 1; i < log.calls.size(); ++i)
        EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
    EXPECT_EQ(log.calls.back(), std::make_pair(uint64_t(300000), uint64_t(300000)));
    EXPECT_NE(LastRequest().find("[\"User-Agent\", \"TVK/83236\"]"), std::string::npos);
}

TEST_F(KZInternetTest, GetFileWithoutCallbackOrPointerReportsNothing)
{
    const fs::path local = s_root / "quiet.bin";
    SProgressLog log;
    EXPECT_TRUE(KZInternet::HttpGetFile(s_pServer->Url("dir/big.bin").c_str(), local.c_str(), 15000, &log, nullptr));
    EXPECT_TRUE(KZInternet::HttpGetFile(s_pServer->Url("dir/big.bin").c_str(), local.c_str(), 15000, nullptr,
                                        RecordProgress));
    EXPECT_TRUE(log.calls.empty());
}

TEST_F(KZInternetTest, GetFileFailuresLeaveTheirFileBehind)
{
    const fs::path local = s_root / "failed.bin";
    EXPECT_FALSE(KZInternet::HttpGetFile(s_pServer->Url("missing.bin").c_str(), local.c_str(), 15000, nullptr, nullptr));
    ASSERT_TRUE(fs::exists(local));
    EXPECT_EQ(fs::file_size(local), 0u);

    // A redirect is not followed: the body of the 302 is what arrives.
    CKZTestHttpServer faults(s_root.string(), {"--rule", "GET:/redirect.bin:redirect:/dir/big.bin", "--rule",
                                               "GET:/dir/big.bin:cut:1000:0"});
    EXPECT_FALSE(KZInternet::HttpGetFile(faults.Url("redirect.bin").c_str(), local.c_str(), 15000, nullptr, nullptr));
    EXPECT_EQ(KZTestReadFile(local), "redirect");

    // A body cut short fails and keeps the part that came; the local file was written well.
    KZInternet::SKZTransferResult result;
    EXPECT_FALSE(Get(faults.Url("dir/big.bin"), local, result));
    EXPECT_EQ(KZTestReadFile(local), KZTestReadFile(s_root / "dir" / "big.bin").substr(0, 1000));
    EXPECT_FALSE(result.bWriteFailed);
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_FALSE(result.Refused());

    // A local file that cannot be made, or a disk that is full, is told apart from a server fault.
    EXPECT_FALSE(Get(s_pServer->Url("dir/big.bin"), s_root / "no" / "dir", result));
    EXPECT_TRUE(result.bWriteFailed);
    EXPECT_TRUE(result.Refused());
    if (fs::exists("/dev/full"))
    {
        EXPECT_FALSE(Get(s_pServer->Url("dir/big.bin"), "/dev/full", result));
        EXPECT_TRUE(result.bWriteFailed);
    }
}

TEST_F(KZInternetTest, StalledDownloadIsAbandoned)
{
    KZInternet::SetStallTimeout(1);
    const fs::path local = s_root / "stalled.bin";
    const auto start = std::chrono::steady_clock::now();
    CKZTestHttpServer stalling(s_root.string(), CKZTestHttpServer::Rule("GET:/dir/big.bin:stall:20000:0"));
    EXPECT_FALSE(KZInternet::HttpGetFile(stalling.Url("dir/big.bin").c_str(), local.c_str(), 15000, nullptr, nullptr));
    // libcurl judges the speed over a few seconds of history, so the abort comes some seconds late.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(fs::file_size(local), 150000u) << "the part that came stays";
    // A short pause below the limit is fine.
    CKZTestHttpServer pausing(s_root.string(), CKZTestHttpServer::Rule("GET:/dir/big.bin:delay:300"));
    EXPECT_TRUE(KZInternet::HttpGetFile(pausing.Url("dir/big.bin").c_str(), local.c_str(), 15000, nullptr, nullptr));
    KZInternet::SetStallTimeout(60);
}

TEST_F(KZInternetTest, RequestInfoNeedsTimeAndLength)
{
    uint64_t size = 0, time = 0;
    ASSERT_TRUE(KZInternet::HttpRequestInfo(s_pServer->Url("dir/big.bin").c_str(), &size, &time, nullptr));
    EXPECT_EQ(size, 300000u);
    struct stat info;
    ASSERT_EQ(stat((s_root / "dir" / "big.bin").c_str(), &info), 0);
    EXPECT_EQ(time, static_cast<uint64_t>(info.st_mtime));
    EXPECT_TRUE(KZInternet::HttpRequestInfo(s_pServer->Url("dir/big.bin").c_str(), nullptr, nullptr, nullptr));
    EXPECT_FALSE(KZInternet::HttpRequestInfo(s_pServer->Url("missing.bin").c_str(), &size, &time, nullptr));

    // Without a scheme the request goes out over http.
    const std::string noScheme = s_pServer->Host() + "/dir/big.bin";
    EXPECT_TRUE(KZInternet::HttpRequestInfo(noScheme.c_str(), nullptr, nullptr, nullptr));
    EXPECT_NE(LastRequest().find("\"method\": \"HEAD\", \"path\": \"/dir/big.bin\""), std::string::npos);

    CKZTestHttpServer noTimes(s_root.string(), CKZTestHttpServer::Rule("ANY:*:nolm"));
    EXPECT_FALSE(KZInternet::HttpRequestInfo(noTimes.Url("dir/big.bin").c_str(), &size, nullptr, nullptr));
}

// An answer that takes longer than the old overall limit (10 s, below the connect time-out of 15 s)
// but within the new one (25 s) arrives.
TEST_F(KZInternetTest, ExchangesOutliveTheirConnectTimeout)
{
    uint64_t size = 0;
    CKZTestHttpServer slowToAnswer(s_root.string(), CKZTestHttpServer::Rule("HEAD:/dir/big.bin:delay:11000"));
    EXPECT_TRUE(KZInternet::HttpRequestInfo(slowToAnswer.Url("dir/big.bin").c_str(), &size, nullptr, nullptr));
    EXPECT_EQ(size, 300000u);
}

TEST_F(KZInternetTest, PostSendsTheFormHeaderOrTheGivenList)
{
    std::string strResponse = "kept:";
    int64_t httpStatus = 0;
    int curlCode = -1;
    ASSERT_TRUE(KZInternet::HttpRequestPost(s_pServer->Url("echo").c_str(), "?a=1", "x=1&y=2", strResponse, nullptr,
                                            false, &httpStatus, &curlCode));
    EXPECT_EQ(strResponse, "kept:x=1&y=2");
    EXPECT_EQ(httpStatus, 200);
    EXPECT_EQ(curlCode, CURLE_OK);
    std::string strSeen = LastRequest();
    EXPECT_NE(strSeen.find("\"path\": \"/echo?a=1\""), std::string::npos) << strSeen;
    EXPECT_NE(strSeen.find("[\"Content-Type\", \"application/x-www-form-urlencoded\"]"), std::string::npos);

    strResponse.clear();
    ASSERT_TRUE(KZInternet::HttpRequestPost(s_pServer->Url("answer.json").c_str(), "", "{}", strResponse,
                                            KZInternet::CreateHeader("application/json"), false, nullptr, nullptr));
    EXPECT_EQ(strResponse, "{\"ok\": true}");
    strSeen = LastRequest();
    EXPECT_NE(strSeen.find("[\"Content-Type\", \"application/json\"], [\"Accept\", \"*/*\"]"), std::string::npos)
        << strSeen;

    // An HTTP error still completes the transfer.
    CKZTestHttpServer failing(s_root.string(), CKZTestHttpServer::Rule("POST:/x:fail:500:0"));
    EXPECT_TRUE(KZInternet::HttpRequestPost(failing.Url("x").c_str(), "", "", strResponse, nullptr,
                                            false, &httpStatus, nullptr));
    EXPECT_EQ(httpStatus, 500);
}

TEST_F(KZInternetTest, RequestAppendsAndFailsOnlyWithoutTransfer)
{
    std::string strResponse = "a";
    EXPECT_TRUE(KZInternet::HttpRequest(s_pServer->Url("missing").c_str(), strResponse, nullptr));
    EXPECT_EQ(strResponse, "anot found\n");
    EXPECT_FALSE(KZInternet::HttpRequest("http://127.0.0.1:1/", strResponse, nullptr));
}

TEST(KZInternet, UrlTextCoding)
{
    EXPECT_EQ(KZInternet::GetAgentString(), "TVK/83236");
    EXPECT_EQ(URLEncodeString("a b&"), "a+b%26");
    EXPECT_EQ(URLEncodeString("\xC3\xA9\t"), "%C3%A9+");
    EXPECT_EQ(URLDecodeString("%2B+"), "++");
    EXPECT_EQ(URLDecodeString("%41%zz%4"), "A%zz%4");
    EXPECT_EQ(URLDecodeString(URLEncodeString("x=1;y/2").c_str()), "x=1;y/2");
}

// A broken transfer leaves a partial file and the server's time of the file; the next try asks only
// for the rest, on condition that the file is still the same.
TEST_F(KZInternetTest, ResumeContinuesAPartialFileOfTheSameServerFile)
{
    const fs::path local = s_root / "resumed.bin";
    const std::string strWhole = KZTestReadFile(s_root / "dir" / "big.bin");
    KZInternet::SKZTransferResult result;
    CKZTestHttpServer cutting(s_root.string(), CKZTestHttpServer::Rule("GET:/dir/big.bin:cut:100000:1"));
    EXPECT_FALSE(Get(cutting.Url("dir/big.bin"), local, result));
    EXPECT_EQ(fs::file_size(local), 100000u);
    EXPECT_GT(result.resumeTime, 0);

    SProgressLog log;
    SGet options = Resuming(result.resumeTime);
    options.pLog = &log;
    EXPECT_TRUE(Get(s_pServer->Url("dir/big.bin"), local, result, options));
    EXPECT_EQ(result.httpStatus, 206);
    EXPECT_TRUE(KZTestReadFile(local) == strWhole);
    const std::string strRequest = LastRequest();
    EXPECT_NE(strRequest.find("bytes=100000-"), std::string::npos) << strRequest;
    EXPECT_NE(strRequest.find("If-Range"), std::string::npos) << strRequest;
    // Progress counts the bytes that were already there.
    ASSERT_FALSE(log.calls.empty());
    EXPECT_EQ(log.calls.back(), std::make_pair(uint64_t(300000), uint64_t(300000)));

    // Without a resume time an existing file is replaced, as always.
    EXPECT_TRUE(KZInternet::HttpGetFile(s_pServer->Url("answer.json").c_str(), local.c_str(), 15000, nullptr, nullptr));
    EXPECT_EQ(KZTestReadFile(local), "{\"ok\": true}");
}

// Whatever the server makes of the range, the file ends up holding exactly the server's bytes.
TEST_F(KZInternetTest, ResumeStartsOverWhenTheRangeCannotContinueTheFile)
{
    const fs::path local = s_root / "restarted.bin";
    const std::string strWhole = KZTestReadFile(s_root / "dir" / "big.bin");
    KZInternet::SKZTransferResult result;
    ASSERT_TRUE(Get(s_pServer->Url("dir/big.bin"), local, result));
    const int64_t fileTime = result.resumeTime;
    ASSERT_GT(fileTime, 0);

    // The server's file changed since the partial copy was made (another time): the whole file.
    std::ofstream(local, std::ios::binary) << std::string(5000, 'x');
    EXPECT_TRUE(Get(s_pServer->Url("dir/big.bin"), local, result, Resuming(fileTime - 100)));
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_TRUE(KZTestReadFile(local) == strWhole);
    EXPECT_EQ(result.resumeTime, fileTime);

    // A partial file longer than the server's: refused range (416), then the whole file.
    std::ofstream(local, std::ios::binary) << strWhole << "tail";
    EXPECT_TRUE(Get(s_pServer->Url("dir/big.bin"), local, result, Resuming(fileTime)));
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_TRUE(KZTestReadFile(local) == strWhole);

    // A server that ignores ranges sends the whole file, which replaces the partial one.
    CKZTestHttpServer noRanges(s_root.string(), CKZTestHttpServer::Rule("GET:*:norange"));
    ASSERT_NE(noRanges.Port(), 0);
    std::ofstream(local, std::ios::binary) << strWhole.substr(0, 5000);
    EXPECT_TRUE(Get(noRanges.Url("dir/big.bin"), local, result, Resuming(fileTime)));
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_TRUE(KZTestReadFile(local) == strWhole);
}

// A part that starts elsewhere than asked is refused and the partial file emptied: the next try
// fetches the whole file instead of asking for the same wrong part again.
TEST_F(KZInternetTest, PartThatDoesNotContinueTheFileIsRefused)
{
    CKZTestHttpServer skewed(s_root.string(), {"--rule", "GET:/dir/big.bin:skewrange"});
    ASSERT_NE(skewed.Port(), 0);
    const fs::path local = s_root / "skewed.bin";
    const std::string strWhole = KZTestReadFile(s_root / "dir" / "big.bin");
    KZInternet::SKZTransferResult result;
    ASSERT_TRUE(Get(skewed.Url("dir/big.bin"), local, result));
    std::ofstream(local, std::ios::binary) << strWhole.substr(0, 5000);
    EXPECT_FALSE(Get(skewed.Url("dir/big.bin"), local, result, Resuming(result.resumeTime)));
    EXPECT_EQ(result.httpStatus, 206);
    EXPECT_FALSE(result.bWriteFailed);
    EXPECT_EQ(fs::file_size(local), 0u);
    EXPECT_TRUE(Get(skewed.Url("dir/big.bin"), local, result, Resuming(result.resumeTime)));
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_TRUE(KZTestReadFile(local) == strWhole);
}

// Transfers through one session share its connection; a busy session lends nothing and the
// transfer takes a handle of its own.
TEST_F(KZInternetTest, SessionKeepsOneConnectionAcrossTransfers)
{
    CKZTestHttpServer keepAlive(s_root.string(), {"--keep-alive"});
    ASSERT_NE(keepAlive.Port(), 0);
    const auto connections = [&keepAlive] {
        std::string strJson;
        KZInternet::HttpRequest(keepAlive.Url("_count/_connections").c_str(), strJson, nullptr);
        const size_t at = strJson.find("\"ANY\": ");
        return at == std::string::npos ? 0 : atoi(strJson.c_str() + at + 7);
    };
    const fs::path local = s_root / "session.bin";
    const std::string strWhole = KZTestReadFile(s_root / "dir" / "big.bin");
    const int before = connections();
    {
        CKZTransferSession session;
        SGet options;
        options.pSession = &session;
        KZInternet::SKZTransferResult result;
        uint64_t qwSize = 0, qwTime = 0;
        for (int i = 0; i < 4; ++i)
        {
            ASSERT_TRUE(Get(keepAlive.Url("dir/big.bin"), local, result, options));
            EXPECT_TRUE(KZTestReadFile(local) == strWhole);
            EXPECT_TRUE(KZInternet::HttpRequestInfoChecked(keepAlive.Url("dir/big.bin").c_str(), &qwSize, &qwTime,
                                                           nullptr, &session));
            EXPECT_EQ(qwSize, 300000u);
        }
        // The counting request itself took one connection.
        EXPECT_EQ(connections(), before + 2);

        ASSERT_NE(session.Acquire(), nullptr);
        EXPECT_TRUE(Get(keepAlive.Url("answer.json"), local, result, options));
        session.Release();
        EXPECT_EQ(KZTestReadFile(local), "{\"ok\": true}");
    }
}

// A download never holds more than its bound: an answer that announces more fails before its body,
// one that sends more fails at the bound; neither leaves a file, and both are refusals.
TEST_F(KZInternetTest, DownloadsStayWithinTheirBound)
{
    CKZTestHttpServer hostile(s_root.string(), {"--rule", "GET:/dir/big.bin:endless", "--rule",
                                                "GET:/answer.json:length:50000000000"});
    ASSERT_NE(hostile.Port(), 0);
    const fs::path local = s_root / "bounded.bin";
    SGet options;
    options.qwMaxBytes = 300000;
    KZInternet::SKZTransferResult result;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Get(hostile.Url("dir/big.bin"), local, result, options));
    EXPECT_TRUE(result.bTooLarge);
    EXPECT_TRUE(result.Refused());
    EXPECT_FALSE(fs::exists(local));
    EXPECT_FALSE(Get(hostile.Url("answer.json"), local, result, options));
    EXPECT_TRUE(result.bTooLarge);
    EXPECT_FALSE(fs::exists(local));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // The file itself passes at exactly its size, also when resumed; one byte less does not.
    EXPECT_TRUE(Get(s_pServer->Url("dir/big.bin"), local, result, options));
    EXPECT_FALSE(result.bTooLarge);
    fs::resize_file(local, 1000);
    options.resumeTime = result.resumeTime;
    EXPECT_TRUE(Get(s_pServer->Url("dir/big.bin"), local, result, options));
    EXPECT_EQ(result.httpStatus, 206);
    fs::resize_file(local, 1000);
    options.qwMaxBytes = 299999;
    EXPECT_FALSE(Get(s_pServer->Url("dir/big.bin"), local, result, options));
    EXPECT_TRUE(result.bTooLarge);
    EXPECT_FALSE(fs::exists(local));
}

// Less than the floor in a whole window breaks a transfer off, even when bytes keep trickling in.
TEST_F(KZInternetTest, TrickleBelowTheFloorIsAbandoned)
{
    CKZTestHttpServer trickle(s_root.string(), {"--rule", "GET:/dir/big.bin:drip:100:200"});
    ASSERT_NE(trickle.Port(), 0);
    KZInternet::SetStallTimeout(1);
    const fs::path local = s_root / "trickle.bin";
    KZInternet::SKZTransferResult result;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Get(trickle.Url("dir/big.bin"), local, result));
    EXPECT_TRUE(result.bTooSlow);
    EXPECT_FALSE(result.Refused()) << "tried again like a stall";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // 500 bytes a second pass a floor of 400.
    KZInternet::SetSlowTransferFloor(400);
    CKZTestHttpServer slow(s_root.string(), {"--rule", "GET:/answer.json:drip:100:200"});
    EXPECT_TRUE(Get(slow.Url("answer.json"), local, result));
    KZInternet::SetSlowTransferFloor(1024);
    KZInternet::SetStallTimeout(60);
}

// Every request checks the peer: a certificate nobody vouches for is refused, and said to be,
// until its authority is configured. HTTPS redirects stay on HTTPS.
TEST_F(KZInternetTest, TlsPeersAreAlwaysChecked)
{
    const fs::path cert = s_root / "cert.pem", key = s_root / "key.pem";
    ASSERT_TRUE(CKZTestHttpServer::MakeCertificate(cert.string(), key.string()));
    CKZTestHttpServer tls(s_root.string(), {"--tls", cert.string(), key.string(), "--rule",
                                            "GET:/plain:redirect:http://127.0.0.1:" +
                                                std::to_string(s_pServer->Port()) + "/answer.json"});
    ASSERT_NE(tls.Port(), 0);
    const std::string strBase = "https://" + tls.Host() + "/";
    const auto allThree = [&](bool bExpected) {
        uint64_t qwSize = 0, qwTime = 0;
        std::string strAnswer;
        int64_t httpStatus = 0;
        EXPECT_EQ(KZInternet::HttpRequestInfo((strBase + "answer.json").c_str(), &qwSize, &qwTime, nullptr), bExpected);
        EXPECT_EQ(KZInternet::HttpRequest((strBase + "answer.json").c_str(), strAnswer, nullptr), bExpected);
        EXPECT_EQ(KZInternet::HttpRequestPost((strBase + "answer.json").c_str(), "", "{}", strAnswer, nullptr, false,
                                              &httpStatus, nullptr),
                  bExpected);
        KZInternet::SKZTransferResult result;
        EXPECT_EQ(KZInternet::HttpRequestInfoChecked((strBase + "answer.json").c_str(), &qwSize, &qwTime, &result),
                  bExpected);
        EXPECT_EQ(result.bNotTrusted, !bExpected);
        EXPECT_EQ(result.Refused(), !bExpected);
        if (!bExpected)
        {
            EXPECT_EQ(result.Describe(), "the server's certificate is not trusted");
        }
    };
    allThree(false);
    KZInternet::SetCertificateAuthorityFile(cert.c_str());
    allThree(true);
    // A redirect from HTTPS to plain HTTP is not followed.
    std::string strAnswer;
    EXPECT_FALSE(KZInternet::HttpRequest((strBase + "plain").c_str(), strAnswer, nullptr));
    EXPECT_EQ(strAnswer.find("\"ok\""), std::string::npos);
    KZInternet::SetCertificateAuthorityFile(nullptr);
}
