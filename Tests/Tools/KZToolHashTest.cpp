// kztool hash against Python's hashlib, hmac, zlib and base64 on the same inputs.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace
{
std::string Tool(const std::string& strArgs)
{
    return KZTestRunCommand(KZ_BINARY_DIR "/kztool hash " + strArgs);
}

std::string Python(const std::string& strExpression, const std::string& strPath)
{
    return KZTestRunCommand("python3 -c \"import sys, hashlib, hmac, zlib, base64\nd = open(sys.argv[1], 'rb').read()\n"
                            "print(" + strExpression + ")\" " + strPath);
}
}

TEST(KZToolHash, TextDigestsAreLowerCaseHex)
{
    EXPECT_EQ(Tool("sha1 abc"), "a9993e364706816aba3e25717850c26c9cd0d89d\n");
    EXPECT_EQ(Tool("sha512 abc"), "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                                  "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f\n");
    EXPECT_EQ(Tool("crc32 123456789"), "cbf43926\n");
    EXPECT_EQ(Tool("elf dwmagic"), "0be37d93\n");
    EXPECT_EQ(Tool("elf vec.size"), "0b65a8c5\n");
    EXPECT_EQ(Tool("base64 foobar"), "Zm9vYmFy\n");
    EXPECT_EQ(Tool("unbase64 Zm9vYg=="), "foob");
    // RFC 2202 case 2 and RFC 4231 case 2.
    EXPECT_EQ(Tool("hmac-sha1 Jefe 'what do ya want for nothing?'"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79\n");
    EXPECT_EQ(Tool("hmac-sha512 Jefe 'what do ya want for nothing?'"),
              "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
              "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737\n");
}

TEST(KZToolHash, FileDigestsAgreeWithPython)
{
    const std::string strDir = KZTestFreshDirectory("kztoolhash").string();
    const std::string strPath = strDir + "/data.bin";
    std::mt19937 rng(4);
    std::string strData(3 * 1024 * 1024 + 17, '\0');
    for (char& c : strData)
        c = static_cast<char>(rng());
    std::ofstream(strPath, std::ios::binary) << strData;
    const std::string strFile = " --file " + strPath;
    EXPECT_EQ(Tool("sha1" + strFile), Python("hashlib.sha1(d).hexdigest()", strPath));
    EXPECT_EQ(Tool("sha512" + strFile), Python("hashlib.sha512(d).hexdigest()", strPath));
    EXPECT_EQ(Tool("crc32" + strFile), Python("'%08x' % zlib.crc32(d)", strPath));
    EXPECT_EQ(Tool("base64" + strFile), Python("base64.b64encode(d).decode()", strPath));
    // A key longer than either block size is hashed first.
    const std::string strKey(200, 'k');
    EXPECT_EQ(Tool("hmac-sha1 " + strKey + strFile), Python("hmac.new(b'" + strKey + "', d, 'sha1').hexdigest()", strPath));
    EXPECT_EQ(Tool("hmac-sha512 " + strKey + strFile),
              Python("hmac.new(b'" + strKey + "', d, 'sha512').hexdigest()", strPath));

    const std::string strEncoded = strDir + "/data.b64";
    std::string strText = Tool("base64" + strFile);
    strText.pop_back();
    std::ofstream(strEncoded) << strText;
    EXPECT_EQ(Tool("unbase64 --file " + strEncoded), strData);
    std::filesystem::remove_all(strDir);
}

TEST(KZToolHash, RefusesUnknownAlgorithmsAndMissingFiles)
{
    EXPECT_NE(system(KZ_BINARY_DIR "/kztool hash md5 abc 2>/dev/null"), 0);
    EXPECT_NE(system(KZ_BINARY_DIR "/kztool hash sha1 --file /nonexistent/file 2>/dev/null"), 0);
    EXPECT_NE(system(KZ_BINARY_DIR "/kztool hash sha1 2>/dev/null"), 0);
    EXPECT_NE(system(KZ_BINARY_DIR "/kztool hash hmac-sha1 key 2>/dev/null"), 0);
}
