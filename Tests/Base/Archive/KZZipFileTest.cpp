#include "Base/Archive/KZZipFile.h"

#include "Fixtures/KZFaultyWrites.h"
#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestEvents.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// big.bin: 400,000 bytes of words, archived alone by Info-ZIP and by Python, deflated and stored,
// as <maker>-<method>.zip; then damaged copies <maker>-<method>-<damage>.zip:
//   start:   the first byte of the data (deflate: an invalid block type)
//   middle:  bytes in the middle of the data (deflate: a run that zlib refuses)
//   longer:  the size in both headers 1000 bytes above the content's
//   shorter: the size in both headers 1000 bytes below it
const char kDamagedArchives[] = R"(
import random, struct, subprocess, zlib
rng = random.Random(5)
words = [''.join(rng.choice('abcdefghijklmnop') for _ in range(rng.randint(2, 9))) for _ in range(3000)]
text = ' '.join(rng.choice(words) for _ in range(90000)).encode()[:400000]
assert len(text) == 400000
open(os.path.join(d, 'big.bin'), 'wb').write(text)

def inflates(raw):
    try:
        zlib.decompressobj(-15).decompress(bytes(raw))
        return True
    except zlib.error:
        return False

for maker in ('infozip', 'python'):
    for method, level, kind in (('deflated', '-9', zipfile.ZIP_DEFLATED), ('stored', '-0', zipfile.ZIP_STORED)):
        name = os.path.join(d, '%s-%s.zip' % (maker, method))
        if maker == 'infozip':
            subprocess.check_call(['zip', '-q', level, name, 'big.bin'], cwd=d)
        else:
            with zipfile.ZipFile(name, 'w', kind) as z:
                z.write(os.path.join(d, 'big.bin'), 'big.bin')
        good = bytearray(open(name, 'rb').read())
        central = good.find(b'PK\x01\x02')
        local = struct.unpack_from('<I', good, central + 42)[0]
        start = local + 30 + sum(struct.unpack_from('<HH', good, local + 26))
        size = struct.unpack_from('<I', good, central + 20)[0]
        damaged = {}
        data = bytearray(good)
        if kind == zipfile.ZIP_DEFLATED:
            data[start] |= 0x06
            assert not inflates(data[start:start + size])
        else:
            data[start] ^= 0x55
        damaged['start'] = data
        if kind == zipfile.ZIP_DEFLATED:
            for at in range(start + size // 2, start + size):
                data = bytearray(good)
                data[at:at + 8] = b'\xff' * 8
                if not inflates(data[start:start + size]):
                    break
            else:
                raise SystemExit('no invalid deflate data found')
        else:
            data = bytearray(good)
            data[start + size // 2] ^= 0x55
        damaged['middle'] = data
        for label, delta in (('longer', 1000), ('shorter', -1000)):
            data = bytearray(good)
            struct.pack_into('<I', data, local + 22, 400000 + delta)
            struct.pack_into('<I', data, central + 24, 400000 + delta)
            damaged[label] = data
        for label, data in damaged.items():
            open(name[:-4] + '-' + label + '.zip', 'wb').write(bytes(data))
)";
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

    // A source that cannot be read leaves no empty entry behind.
    {
        CKZZipFile zip;
        ASSERT_TRUE(zip.Open(Path("partial.zip").c_str(), 0, nullptr, 0));
        EXPECT_FALSE(zip.AddFile(Path("missing.txt").c_str(), "missing.txt", false));
        EXPECT_TRUE(zip.AddFile(Path("secret.txt").c_str(), "kept.txt", false));
        EXPECT_TRUE(zip.Close());
    }
    EXPECT_EQ(KZTestRunCommand("unzip -Z1 " + Path("partial.zip")), "kept.txt\n");
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

TEST_F(KZZipFileTest, DamagedEntriesFailAndLeaveNoFile)
{
    Python(kDamagedArchives);
    const std::string strContent = KZTestReadFile(m_dir / "big.bin");
    for (const char* szMaker : {"infozip", "python"})
    {
        for (const char* szMethod : {"deflated", "stored"})
        {
            const std::string strArchive = std::string(szMaker) + "-" + szMethod;
            fs::remove_all(m_dir / "out");
            ASSERT_EQ(Extract(strArchive + ".zip", nullptr), 1) << strArchive;
            EXPECT_EQ(KZTestReadFile(m_dir / "out" / "big.bin"), strContent);
            for (const char* szDamage : {"start", "middle", "longer", "shorter"})
            {
                const std::string strName = strArchive + "-" + szDamage + ".zip";
                fs::remove_all(m_dir / "out");
                CKZTestEventRecorder recorder;
                std::vector<std::string> written;
                EXPECT_EQ(Extract(strName, nullptr, nullptr, &written), 0) << strName;
                EXPECT_TRUE(written.empty()) << strName;
                EXPECT_EQ(KZTestTree(m_dir / "out"), std::vector<std::string>()) << strName << ": no file, no leftover";
                EXPECT_EQ(recorder.Count(CKZLog::EVENT_ERROR), 1) << strName;
                EXPECT_NE(recorder.LastMessage().find("big.bin from " + Path(strName)), std::string::npos)
                    << recorder.LastMessage();

                CKZZipFile zip;
                ASSERT_TRUE(zip.Open(Path(strName).c_str(), 1, nullptr, 0));
                uint32_t length = 0;
                EXPECT_EQ(zip.ExtractToMemory(0, &length), nullptr) << strName;
            }
        }
    }
}

// An entry whose deflated data unpacks to far more than it declares is refused as soon as it passes
// its size: nothing beyond one byte more than declared is ever written.
TEST_F(KZZipFileTest, EntriesLargerThanDeclaredStopAtTheirSize)
{
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/hostile_zip_gen.py bomb " + Path("bomb.zip") +
                      " zeros.bin")
                         .c_str()),
              0);
    CKZFaultyWrites writes;
    writes.SetRoom(1001);
    CKZTestEventRecorder recorder;
    EXPECT_EQ(Extract("bomb.zip", nullptr), 0);
    EXPECT_EQ(writes.Refused(), 0u) << "no write went past the declared 1000 bytes and one";
    EXPECT_NE(recorder.LastMessage().find("holds more than its declared 1000 bytes"), std::string::npos)
        << recorder.LastMessage();
    EXPECT_EQ(KZTestTree(m_dir / "out"), std::vector<std::string>());
}

TEST_F(KZZipFileTest, OnlyStoredAndDeflatedEntriesAreRead)
{
    Python(R"(
with zipfile.ZipFile(os.path.join(d, 'methods.zip'), 'w') as z:
    z.writestr('plain.txt', 'plain', zipfile.ZIP_STORED)
    z.writestr('packed.txt', 'bzip2 ' * 1000, zipfile.ZIP_BZIP2)
with zipfile.ZipFile(os.path.join(d, 'lzma.zip'), 'w', zipfile.ZIP_LZMA) as z:
    z.writestr('only.txt', 'lzma ' * 1000)
)");
    CKZTestEventRecorder recorder;
    EXPECT_EQ(Extract("methods.zip", nullptr), 0);
    EXPECT_EQ(KZTestTree(m_dir / "out"), std::vector<std::string>()) << "refused before anything is written";
    EXPECT_EQ(recorder.LastMessage(),
              "Could not extract packed.txt from " + Path("methods.zip") + ": unsupported compression method 12");
    CKZZipFile zip;
    ASSERT_TRUE(zip.Open(Path("lzma.zip").c_str(), 1, nullptr, 0));
    EXPECT_EQ(zip.ExtractToMemory(0, nullptr), nullptr);
    EXPECT_EQ(recorder.LastMessage(),
              "Could not extract only.txt from " + Path("lzma.zip") + ": unsupported compression method 14");
}

TEST_F(KZZipFileTest, OutputsThatCannotBeCreatedOrWrittenFail)
{
    Python(R"(
with zipfile.ZipFile(os.path.join(d, 'nested.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('sub/x.txt', 'x' * 100)
with zipfile.ZipFile(os.path.join(d, 'flat.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('first.txt', 'first')
    z.writestr('taken', 'taken')
)");
    // The entry's directory is a file.
    fs::create_directories(m_dir / "out");
    std::ofstream(m_dir / "out" / "sub") << "a file";
    CKZTestEventRecorder recorder;
    EXPECT_EQ(Extract("nested.zip", nullptr), 0);
    EXPECT_NE(recorder.LastMessage().find("Could not extract sub/x.txt from"), std::string::npos)
        << recorder.LastMessage();

    // The entry's own name is a directory: the finished file cannot take its place.
    fs::remove_all(m_dir / "out");
    fs::create_directories(m_dir / "out" / "taken");
    std::vector<std::string> written;
    EXPECT_EQ(Extract("flat.zip", nullptr, nullptr, &written), 0);
    EXPECT_NE(recorder.LastMessage().find("Could not extract taken from"), std::string::npos) << recorder.LastMessage();
    EXPECT_EQ(KZTestTree(m_dir / "out"), (std::vector<std::string>{"first.txt", "taken"})) << "no temporary file is left";
    EXPECT_EQ(written, std::vector<std::string>{Path("out") + "/first.txt"}) << "files written before stay";

    // A file that cannot be written in full: a child process that may write no file beyond 1000 bytes.
    Python("with zipfile.ZipFile(os.path.join(d, 'large.zip'), 'w', zipfile.ZIP_DEFLATED) as z:\n"
           "    z.writestr('large.bin', 'l' * 100000)\n");
    fs::remove_all(m_dir / "out");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(Extract("large.zip", nullptr) == 0 && KZTestTree(m_dir / "out").empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write fails and leaves no file";
}

TEST_F(KZZipFileTest, ExtensionlessNamesAndArchives)
{
    fs::create_directories(m_dir / "src" / "docs");
    std::ofstream(m_dir / "src" / "README") << "read me";
    std::ofstream(m_dir / "src" / "docs" / "LICENSE") << "license";
    ASSERT_EQ(system(("cd " + Path("src") + " && zip -q -r ../bundle .").c_str()), 0);
    ASSERT_EQ(Extract("bundle.zip", nullptr), 1);
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "README"), "read me");
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "docs" / "LICENSE"), "license");

    // An archive without extension extracts beside itself.
    fs::create_directories(m_dir / "beside");
    fs::copy_file(m_dir / "bundle.zip", m_dir / "beside" / "bundle");
    CKZZipFile zip;
    ASSERT_TRUE(zip.Open(Path("beside/bundle").c_str(), 1, nullptr, 0));
    ASSERT_EQ(zip.Extract(nullptr, KZZipFileNoopProgressCallback, nullptr, nullptr), 1);
    EXPECT_EQ(KZTestReadFile(m_dir / "beside" / "docs" / "LICENSE"), "license");
    EXPECT_EQ(KZTestReadFile(m_dir / "beside" / "README"), "read me");
}
