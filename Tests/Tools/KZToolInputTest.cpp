// Every kztool command that reads files reports a directory, a missing file or an unreadable
// file with one line on stderr and exit status 1.

#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
class KZToolInputTest : public CKZTestWithDirectory
{
protected:
    KZToolInputTest() : CKZTestWithDirectory("kztoolinput") {}

    // The exit status; the standard error text in strError.
    int Run(const std::string& strArgs, std::string& strError) const
    {
        const std::string strErrorPath = Path("stderr.txt");
        const int status = system((KZ_BINARY_DIR "/kztool " + strArgs + " >/dev/null 2>" + strErrorPath).c_str());
        strError = KZTestReadFile(strErrorPath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void ExpectOneLineFailure(const std::string& strArgs) const
    {
        std::string strError;
        EXPECT_EQ(Run(strArgs, strError), 1) << strArgs;
        EXPECT_EQ(std::count(strError.begin(), strError.end(), '\n'), 1) << strArgs << ": " << strError;
        EXPECT_EQ(strError.rfind("kztool: ", 0), 0u) << strArgs << ": " << strError;
    }
};

// Each command with its input file at INPUT and anything it would write at OUTPUT.
const char* const kCommands[] = {
    "hash sha1 --file INPUT",
    "hash hmac-sha512 key --file INPUT",
    "catalogue show INPUT",
    "catalogue split INPUT 100",
    "catalogue stage INPUT a.bin 1",
    "catalogue report INPUT OUTPUT OUTPUT OUTPUT",
    "catalogue add OUTPUT INPUT INPUT",
    "delta apply INPUT INPUT OUTPUT",
    "delta make INPUT INPUT OUTPUT",
    "fs crc INPUT",
    "serial show INPUT",
    "serial convert INPUT OUTPUT",
    "zip list INPUT",
    "zip extract INPUT OUTPUT",
    "zip seal OUTPUT INPUT 1 2",
    "zip unseal INPUT 2 OUTPUT",
    "pack diff OUTPUT INPUT",
    "pack build INPUT OUTPUT OUTPUT OUTPUT",
};

std::string Replaced(std::string strText, const std::string& strWord, const std::string& strBy)
{
    for (size_t at = 0; (at = strText.find(strWord, at)) != std::string::npos; at += strBy.size())
        strText.replace(at, strWord.size(), strBy);
    return strText;
}
} // namespace

TEST_F(KZToolInputTest, DirectoriesMissingAndUnreadableFilesFailWithOneLine)
{
    std::vector<std::string> vecInputs = {m_dir.string(), Path("missing")};
    if (geteuid() != 0) // the superuser reads every file
    {
        std::ofstream(Path("locked")) << "x";
        chmod(Path("locked").c_str(), 0);
        vecInputs.push_back(Path("locked"));
    }
    for (const std::string& strInput : vecInputs)
        for (const char* szCommand : kCommands)
        {
            ExpectOneLineFailure(Replaced(Replaced(szCommand, "INPUT", strInput), "OUTPUT", Path("out")));
            EXPECT_FALSE(std::filesystem::exists(Path("out"))) << szCommand << " wrote after refusing its input";
        }
    std::string strError;
    EXPECT_EQ(Run("fs crc " + Path("missing"), strError), 1);
    EXPECT_NE(strError.find("no such file: " + Path("missing")), std::string::npos) << strError;
    EXPECT_EQ(Run("hash sha1 --file " + m_dir.string(), strError), 1);
    EXPECT_NE(strError.find("is a directory"), std::string::npos) << strError;
}

TEST_F(KZToolInputTest, SerialConvertRefusesWhatIsNotAnImage)
{
    std::ofstream(Path("empty.bin")).close();
    std::string strRandom(4096, 0);
    std::mt19937 rng(13);
    for (char& c : strRandom)
        c = static_cast<char>(rng());
    std::ofstream(Path("random.bin"), std::ios::binary) << strRandom;
    for (const char* szName : {"empty.bin", "random.bin"})
    {
        ExpectOneLineFailure("serial convert " + Path(szName) + " " + Path("out.xml"));
        EXPECT_FALSE(std::filesystem::exists(Path("out.xml"))) << szName;
    }
}
