#include "Base/Archive/KZZipFile.h"

#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
struct SProgressLog
{
    std::vector<std::pair<uint32_t, uint32_t>> calls;
};

void RecordProgress(void* pContext, uint32_t done, uint32_t total)
{
    static_cast<SProgressLog*>(pContext)->calls.emplace_back(done, total);
}

class KZZipFileTest : public CKZTestWithDirectory
{
protected:
    KZZipFileTest() : CKZTestWithDirectory("kzzip") {}

    // Runs a Python zipfile script with `d` set to the test directory.
    void Python(const std::string& strScript) const
    {
        const std::string strFile = Path("make.py");
        std::ofstream(strFile) << "import zipfile, os, sys\nd = " << "'" << m_dir.string() << "'\n" << strScript;
        ASSERT_EQ(system(("python3 " + strFile).c_str()), 0) << strScript;
    }
    // Extracts with the library into `out`, answering its result.
    int Extract(const std::string& strZip, const char* szPassword, SProgressLog* pLog = nullptr,
                std::vector<std::string>* pWritten = nullptr)
    {
        CKZZipFile zip;
        if (!zip.Open(Path(strZip).c_str(), 1, szPassword, 0))
            return -1;
        const std::string strOut = Path("out");
        return pLog ? zip.Extract(strOut.c_str(), RecordProgress, pLog, pWritten)
                    : zip.Extract(strOut.c_str(), KZZipFileNoopProgressCallback, nullptr, pWritten);
    }
};

time_t ModificationTime(const fs::path& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}

mode_t Mode(const fs::path& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}
} // namespace

TEST_F(KZZipFileTest, InfoZipArchivesExtractByteExact)
{
    fs::create_directories(m_dir / "src" / "nested" / "deep");
    fs::create_directories(m_dir / "src" / "empty");
    std::mt19937 rng(2);
    std::string random(100000, '\0');
    for (char& c : random)
        c = static_cast<char>(rng());
    std::ofstream(m_dir / "src" / "random.bin", std::ios::binary) << random;
    std::ofstream(m_dir / "src" / "nested" / "deep" / "text.txt") << std::string(5000, 't');
    chmod((m_dir / "src" / "nested" / "deep" / "text.txt").c_str(), 0640);
    for (const char* szLevel : {"-9", "-0"})
    {
        fs::remove_all(m_dir / "out");
        fs::remove(m_dir / "a.zip");
        ASSERT_EQ(system(("cd " + Path("src") + " && zip -q -r " + szLevel + " ../a.zip .").c_str()), 0);
        SProgressLog log;
        std::vector<std::string> written;
        ASSERT_EQ(Extract("a.zip", nullptr, &log, &written), 1) << szLevel;
        EXPECT_EQ(KZTestReadFile(m_dir / "out" / "random.bin"), random);
        EXPECT_EQ(KZTestReadFile(m_dir / "out" / "nested" / "deep" / "text.txt"), std::string(5000, 't'));
        EXPECT_TRUE(fs::is_directory(m_dir / "out" / "empty"));
        EXPECT_EQ(Mode(m_dir / "out" / "nested" / "deep" / "text.txt"), 0640u);
        EXPECT_EQ(written.size(), 2u);
        // Dates: the stored DOS time read as UTC, as Python's zipfile reports it.
        const std::string stamp = KZTestRunCommand(
            "python3 -c \"import zipfile, calendar; print(calendar.timegm(zipfile.ZipFile('" + Path("a.zip") +
            "').getinfo('random.bin').date_time + (0, 0, 0)))\"");
        EXPECT_EQ(ModificationTime(m_dir / "out" / "random.bin"), std::stol(stamp));
        // Progress never decreases, has at most 2n reports and ends at (S, S).
        const uint32_t size = static_cast<uint32_t>(fs::file_size(m_dir / "a.zip"));
        ASSERT_FALSE(log.calls.empty());
        EXPECT_LE(log.calls.size(), 2u * 6u);
        for (size_t i = 1; i < log.calls.size(); ++i)
            EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
        EXPECT_EQ(log.calls.back(), std::make_pair(size, size));
    }
}

TEST_F(KZZipFileTest, PythonArchivesNamesModesAndEmptyOnes)
{
    Python(R"(
z = zipfile.ZipFile(os.path.join(d, 'p.zip'), 'w', zipfile.ZIP_DEFLATED)
z.writestr('win\\style\\name.txt', 'backslashes')
i = zipfile.ZipInfo('unix/nomode.sh'); i.create_system = 3; i.external_attr = 0
z.writestr(i, 'mode zero')
i = zipfile.ZipInfo('unix/setuid.bin'); i.create_system = 3; i.external_attr = (0o104755 << 16)
z.writestr(i, 'no setuid')
i = zipfile.ZipInfo('stored.txt'); i.compress_type = zipfile.ZIP_STORED
z.writestr(i, 'stored')
z.writestr('onlydir/', '')
z.close()
# zipfile gives an entry without mode 0600; make the Unix mode bits of that entry really zero
data = bytearray(open(os.path.join(d, 'p.zip'), 'rb').read())
at = data.find(b'PK\x01\x02' + bytes(0))
while at >= 0:
    name_length = int.from_bytes(data[at + 28:at + 30], 'little')
    if data[at + 46:at + 46 + name_length] == b'unix/nomode.sh':
        data[at + 38:at + 42] = bytes(4)
    at = data.find(b'PK\x01\x02', at + 4)
open(os.path.join(d, 'p.zip'), 'wb').write(bytes(data))
zipfile.ZipFile(os.path.join(d, 'empty.zip'), 'w').close()
z = zipfile.ZipFile(os.path.join(d, 'dirs.zip'), 'w')
z.writestr('d1/', ''); z.writestr('d1/d2/', '')
z.close()
)");
    std::vector<std::string> written;
    ASSERT_EQ(Extract("p.zip", nullptr, nullptr, &written), 1);
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "win" / "style" / "name.txt"), "backslashes");
    EXPECT_EQ(Mode(m_dir / "out" / "unix" / "nomode.sh"), 0755u);
    EXPECT_EQ(Mode(m_dir / "out" / "unix" / "setuid.bin"), 0755u) << "set-id bits are not applied";
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "stored.txt"), "stored");
    EXPECT_TRUE(fs::is_directory(m_dir / "out" / "onlydir"));
    EXPECT_EQ(written.size(), 4u);

    SProgressLog log;
    fs::remove_all(m_dir / "out");
    ASSERT_EQ(Extract("empty.zip", nullptr, &log), 1);
    const uint32_t emptySize = static_cast<uint32_t>(fs::file_size(m_dir / "empty.zip"));
    EXPECT_EQ(log.calls, (std::vector<std::pair<uint32_t, uint32_t>>{{emptySize, emptySize}}));

    written.clear();
    ASSERT_EQ(Extract("dirs.zip", nullptr, nullptr, &written), 1);
    EXPECT_TRUE(fs::is_directory(m_dir / "out" / "d1" / "d2"));
    EXPECT_TRUE(written.empty());
}

TEST_F(KZZipFileTest, EscapingNamesAreRefused)
{
    for (const char* szName : {"../evil.txt", "/abs/evil.txt", "a/../../evil.txt", "..\\evil.txt", "C:/evil.txt"})
    {
        fs::remove_all(m_dir / "out");
        Python(std::string("z = zipfile.ZipFile(os.path.join(d, 'bad.zip'), 'w')\nz.writestr('fine.txt', 'ok')\n"
                           "z.writestr(zipfile.ZipInfo(") +
               "r'" + szName + "'), 'escaped')\nz.close()\n");
        EXPECT_EQ(Extract("bad.zip", nullptr), 0) << szName;
        EXPECT_FALSE(fs::exists(m_dir / "evil.txt")) << szName;
        EXPECT_FALSE(fs::exists("/abs/evil.txt"));
        EXPECT_FALSE(fs::exists(m_dir / "out" / "fine.txt")) << "refused before anything is written";
    }
}

TEST_F(KZZipFileTest, PasswordsAndWrittenArchives)
{
    std::ofstream(Path("secret.txt")) << "secret content";
    ASSERT_EQ(system(("cd " + Path("") + " && zip -q -P right pw.zip secret.txt").c_str()), 0);
    EXPECT_EQ(Extract("pw.zip", "wrong"), 0);
    EXPECT_EQ(Extract("pw.zip", nullptr), 0);
    ASSERT_EQ(Extract("pw.zip", "right"), 1);
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "secret.txt"), "secret content");

    fs::create_directories(m_dir / "tree");
    std::ofstream(m_dir / "tree" / "a.txt") << std::string(70000, 'a');
    {
        CKZZipFile zip;
        ASSERT_TRUE(zip.Open(Path("ours.zip").c_str(), 0, nullptr, 0));
        EXPECT_TRUE(zip.AddFile(Path("tree/a.txt").c_str(), nullptr, false));
        EXPECT_TRUE(zip.AddFile(Path("tree").c_str(), "tree/", true));
        EXPECT_TRUE(zip.AddFile(Path("secret.txt").c_str(), "/sub\\named.txt", false));
        EXPECT_TRUE(zip.Close());
    }
    EXPECT_EQ(system(("unzip -tq " + Path("ours.zip") + " > /dev/null").c_str()), 0);
    const std::string names = KZTestRunCommand("unzip -Z1 " + Path("ours.zip"));
    EXPECT_EQ(names, "a.txt\ntree/\nsub\\named.txt\n");
    {
        CKZZipFile zip;
        ASSERT_TRUE(zip.Open(Path("ours.zip").c_str(), 0, "pass", 1)); // appends
        EXPECT_TRUE(zip.AddFile(Path("secret.txt").c_str(), "enc.txt", false));
    }
    EXPECT_EQ(system(("unzip -tq -P pass " + Path("ours.zip") + " > /dev/null").c_str()), 0);

    EXPECT_EQ(CKZZipFile::GetChecksumFromZip(Path("ours.zip").c_str(), "a.txt"), 0x1229E204u);
    EXPECT_EQ(CKZZipFile::GetChecksumFromZip(Path("ours.zip").c_str(), "missing"), 0u);
    EXPECT_EQ(CKZZipFile::GetChecksumFromZip(Path("none.zip").c_str(), "a.txt"), 0u);
    CKZZipFile never;
    EXPECT_TRUE(never.Close());
    EXPECT_FALSE(never.AddFile(Path("secret.txt").c_str(), nullptr, false));
    EXPECT_FALSE(never.Extract(nullptr, KZZipFileNoopProgressCallback, nullptr, nullptr));
}

TEST_F(KZZipFileTest, EncipheredEntriesRoundTrip)
{
    std::string content(3000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    std::ofstream(Path("payload.bin"), std::ios::binary) << content;
    for (const char* szArchivePassword : {static_cast<const char*>(nullptr), "outer"})
    {
        fs::remove(m_dir / "crypto.zip");
        {
            CKZZipFile zip;
            ASSERT_TRUE(zip.Open(Path("crypto.zip").c_str(), 0, szArchivePassword, 0));
            ASSERT_TRUE(zip.AddCryptoFile(Path("payload.bin").c_str(), "123456", "42"));
        }
        CKZZipFile reader;
        ASSERT_TRUE(reader.Open(Path("crypto.zip").c_str(), 1, szArchivePassword, 0));
        uint32_t length = 0;
        uint8_t* pPlain = reader.ExtractToMemory(42, &length);
        ASSERT_NE(pPlain, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pPlain), length), content);
        free(pPlain);
        // A second key of 0 gives the stored (sealed) bytes.
        uint8_t* pSealed = reader.ExtractToMemory(0, &length);
        ASSERT_NE(pSealed, nullptr);
        EXPECT_EQ(length, 8u + 3000u);
        free(pSealed);
    }
    CKZZipFile wrongOuter;
    ASSERT_TRUE(wrongOuter.Open(Path("crypto.zip").c_str(), 1, "inner?", 0));
    EXPECT_EQ(wrongOuter.ExtractToMemory(42, nullptr), nullptr);
}

TEST_F(KZZipFileTest, CorruptArchivesNeverCrash)
{
    std::ofstream(Path("f.txt")) << std::string(4000, 'f') << "tail";
    ASSERT_EQ(system(("cd " + Path("") + " && zip -q good.zip f.txt").c_str()), 0);
    const std::string good = KZTestReadFile(m_dir / "good.zip");
    std::mt19937 rng(8);
    for (int k = 0; k < 300; ++k)
    {
        std::string bytes = good;
        if (k % 3 == 0)
            bytes.resize(rng() % bytes.size());
        for (int flips = 1 + rng() % 6; flips > 0 && !bytes.empty(); --flips)
            bytes[rng() % bytes.size()] = static_cast<char>(rng());
        std::ofstream(Path("bad.zip"), std::ios::binary) << bytes;
        fs::remove_all(m_dir / "out");
        Extract("bad.zip", nullptr);
        CKZZipFile zip;
        if (zip.Open(Path("bad.zip").c_str(), 1, nullptr, 0))
            free(zip.ExtractToMemory(1, nullptr));
    }
}
