#include "Base/Net/KZHttpRequest.h"

#include "Base/Hash/KZHashSHA1.h"
#include "Base/Net/KZInternet.h"
#include "Base/Net/KZRequestSecrets.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace
{
// Reads one "key": "value" text field of the server's JSON record of a request.
std::string Field(const std::string& strRecord, const std::string& strKey)
{
    CKZHttpRequest parsed;
    parsed.ParseResult(strRecord);
    return parsed.GetValueString(strKey, "<absent>");
}

std::vector<std::string> HeaderLines(curl_slist* pList)
{
    std::vector<std::string> vecLines;
    for (curl_slist* p = pList; p; p = p->next)
        vecLines.push_back(p->data);
    curl_slist_free_all(pList);
    return vecLines;
}
}

TEST(KZHttpRequest, JsonTextLayout)
{
    CKZHttpRequest request;
    EXPECT_EQ(CKZHttpRequest::BuildJsonRequestString({}), "{\n\n}\n");
    std::vector<CKZHttpRequest::CKZHttpRequestParameter> example = {
        {"a", "x", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_TEXT},
        {"g", "", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_GROUP_BEGIN},
        {"n", "5", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_NUMBER},
        {"", "", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_GROUP_END},
        {"b", "1.500", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_NUMBER},
    };
    EXPECT_EQ(CKZHttpRequest::BuildJsonRequestString(example),
              "{\n\t\"a\": \"x\",\n\t\"g\": {\n\t\t\"n\": 5\n\t\t},\n\t\"b\": 1.500\n}\n");
    // A group directly inside a group gets no comma; a value after an empty group does.
    std::vector<CKZHttpRequest::CKZHttpRequestParameter> nested = {
        {"o", "", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_GROUP_BEGIN},
        {"i", "", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_GROUP_BEGIN},
        {"", "", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_GROUP_END},
        {"", "", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_GROUP_END},
        {"v", "1", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_NUMBER},
    };
    EXPECT_EQ(CKZHttpRequest::BuildJsonRequestString(nested),
              "{\n\t\"o\": {\n\t\t\"i\": {\n\n\t\t\t}\n\t\t},\n\t\"v\": 1\n}\n");
}

TEST(KZHttpRequest, ParsesBothAnswerForms)
{
    CKZHttpRequest request;
    request.ParseResult("{\"ok\": true, \"no\":false, \"n\": 12, \"s\": \"\\u00e9\\n\\q\", \"o\": {\"in\": null}}");
    EXPECT_EQ(request.GetValueString("ok", ""), "1");
    EXPECT_EQ(request.GetValueString("no", ""), "0");
    EXPECT_EQ(request.GetValueInt("n", -1), 12);
    EXPECT_EQ(request.GetValueString("s", ""), "\xC3\xA9\n\\q");
    EXPECT_TRUE(request.ValueExists("o"));
    EXPECT_EQ(request.GetValueString("o", "x"), "");
    EXPECT_EQ(request.GetValueString("in", ""), "null");
    EXPECT_EQ(request.GetValueInt("s", 7), 0) << "atoi of letters";
    EXPECT_EQ(request.GetValueInt("absent", 7), 7);
    EXPECT_FLOAT_EQ(request.GetValueFloat("n", 0), 12.0f);

    CKZHttpRequest dashes;
    dashes.ParseResult("-key=value-other= \"thing\"}\n-lonely");
    EXPECT_EQ(dashes.GetValueString("key", ""), "value");
    EXPECT_EQ(dashes.GetValueString("other", ""), "thing");
    EXPECT_FALSE(dashes.ValueExists("lonely"));

    CKZHttpRequest open;
    open.ParseResult("{\"a\": \"never closed");
    EXPECT_EQ(open.GetValueString("a", ""), "never closed");
    open.ParseResult("{\"a\": 5");
    EXPECT_EQ(open.GetValueString("a", ""), "5") << "a key seen again replaces its value";
    open.ParseResult("[1]");
    open.ParseResult("");
    EXPECT_EQ(open.GetValueString("a", ""), "5");
}

TEST(KZHttpRequest, ArbitraryAnswersNeverCrash)
{
    std::mt19937 rng(3);
    const char pool[] = "{}\":,\\u0123 -=\tabtrue";
    for (int k = 0; k < 3000; ++k)
    {
        std::string strText(rng() % 40, ' ');
        for (char& c : strText)
            c = rng() % 4 ? pool[rng() % (sizeof(pool) - 1)] : static_cast<char>(rng());
        if (!strText.empty() && k % 2)
            strText[0] = k % 4 == 1 ? '{' : '-';
        CKZHttpRequest request;
        request.ParseResult(strText);
    }
}

TEST(KZHttpRequest, ParametersAndSchemes)
{
    CKZHttpRequest request;
    request.Add("t", "text");
    request.Add("u", 4000000000u);
    request.Add("i", -3);
    request.Add("f", 1.5f);
    request.AddGroup("g");
    request.EndGroup();
    EXPECT_TRUE(CKZHttpRequest::UrlHasSchemePrefix("HTTPS://host"));
    EXPECT_TRUE(CKZHttpRequest::UrlHasSchemePrefix(std::string("http://")));
    EXPECT_FALSE(CKZHttpRequest::UrlHasSchemePrefix("host/http://"));
    EXPECT_FALSE(CKZHttpRequest::UrlHasSchemePrefix("ftp://host"));
}

TEST(KZHttpRequest, SignedHeaderCarriesTheHmac)
{
    // RFC 2202 test case 2.
    const std::vector<std::string> vecLines = HeaderLines(
        KZInternet::CreateHeader("what do ya want for nothing?", 42, "Jefe", "KZ1", "application/json"));
    ASSERT_EQ(vecLines.size(), 3u);
    EXPECT_EQ(vecLines[0], "Content-Type: application/json");
    EXPECT_EQ(vecLines[1], "Accept: */*");
    EXPECT_EQ(vecLines[2], "Authorization: KZ1 CustomerID=42, Mac=effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST(KZHttpRequest, SendsSignedJsonAndParsesTheAnswer)
{
    const fs::path root = fs::temp_directory_path() / ("kzhttprequest_" + std::to_string(getpid()));
    fs::create_directories(root / "api");
    std::ofstream(root / "api" / "login") << "{\"ok\": true, \"user\": \"n\\u00e9e\"}";
    {
        CKZTestHttpServer server(root.string());
        ASSERT_NE(server.Port(), 0);
        CKZHttpRequest request;
        request.Add("name", "player");
        request.Add("level", 3);
        // The path comes from the URL when the path argument is empty.
        ASSERT_TRUE(request.SendJsonWithSignature(server.Url("api/login"), ""));
        EXPECT_EQ(request.GetHttpStatus(), 200);
        EXPECT_EQ(request.GetValueInt("ok", 0), 1);
        EXPECT_EQ(request.GetValueString("user", ""), "n\xC3\xA9" "e");

        std::string strSeen;
        ASSERT_TRUE(KZInternet::HttpRequest(server.Url("_last").c_str(), strSeen, nullptr));
        const std::string strPath = Field(strSeen, "path");
        const std::string strBody = CKZHttpRequest::BuildJsonRequestString(
            {{"name", "player", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_TEXT},
             {"level", "3", CKZHttpRequest::KZ_HTTP_REQUEST_PARAMETER_NUMBER}});
        unsigned version = 99;
        char szHash[41] = {0};
        ASSERT_EQ(sscanf(strPath.c_str(), "/api/login?Rand=%*d&version=%u&hash=%40s", &version, szHash), 2) << strPath;
        ASSERT_LT(version, 20u);
        CKZHashSHA1 sha1;
        const std::string strSigned = strBody + KZRequestSecrets::Get(version);
        sha1.ComputeHash(strSigned.data(), static_cast<uint32_t>(strSigned.size()));
        std::string strExpected;
        sha1.GetHash(strExpected, 0);
        EXPECT_EQ(szHash, strExpected);
        EXPECT_NE(strSeen.find("[\"Content-Type\", \"application/json\"]"), std::string::npos);

        // Without a slash after the host the path argument alone is the suffix.
        CKZHttpRequest second;
        ASSERT_TRUE(second.SendJsonWithSignature("http://" + server.Host(), "/api/login"));
        EXPECT_EQ(second.GetValueInt("ok", 0), 1);

        CKZHttpRequest refused;
        EXPECT_FALSE(refused.SendJsonWithSignature("http://127.0.0.1:1/x", ""));
        EXPECT_NE(refused.GetCurlCode(), 0);
    }
    fs::remove_all(root);
}
