#include "System/Util/KZJPatch.h"

#include "Base/Debug/KZLog.h"
#include "PatchLibrary/KZPatchAPI.h"

#include "Fixtures/KZTestFiles.h"

#include "Fixtures/KZTestEvents.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
typedef std::basic_string<unsigned char> Bytes;

FILE* TempFileWith(const Bytes& content)
{
    FILE* pFile = tmpfile();
    fwrite(content.data(), 1, content.size(), pFile);
    rewind(pFile);
    return pFile;
}

struct SResult
{
    int code;
    Bytes output;
    long oldPosition;
};

SResult Apply(const Bytes& old, const Bytes& delta)
{
    FILE* pOld = TempFileWith(old);
    FILE* pDelta = TempFileWith(delta);
    FILE* pOut = tmpfile();
    SResult result;
    result.code = KZEngine::JPatch(pOld, pDelta, pOut, 0);
    result.oldPosition = ftell(pOld);
    const long size = ftell(pOut);
    result.output.resize(static_cast<size_t>(size));
    rewind(pOut);
    if (size > 0)
    {
        EXPECT_EQ(fread(&result.output[0], 1, result.output.size(), pOut), result.output.size());
    }
    fclose(pOld);
    fclose(pDelta);
    fclose(pOut);
    return result;
}

Bytes Counting(size_t n)
{
    Bytes bytes(n, 0);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    return bytes;
}

int64_t Number(const Bytes& encoded)
{
    FILE* pFile = TempFileWith(encoded);
    const int64_t value = ufGetInt(pFile);
    fclose(pFile);
    return value;
}

void WriteFile(const fs::path& path, const Bytes& content)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                static_cast<std::streamsize>(content.size()));
}

class KZPatchFileTest : public CKZTestWithDirectory
{
protected:
    KZPatchFileTest() : CKZTestWithDirectory("kzjpatch") {}

    int Patch(const Bytes& old, const Bytes& delta)
    {
        WriteFile(m_dir / "old", old);
        WriteFile(m_dir / "delta", delta);
        return kzpatch_patch((m_dir / "old").c_str(), (m_dir / "delta").c_str(), (m_dir / "out").c_str());
    }
    static int RunGenerator(const std::string& strArgs)
    {
        const std::string command = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/jdiff_gen.py " + strArgs + " > /dev/null";
        return system(command.c_str());
    }
};

const unsigned char ESC = 0xA7, MOD = 0xA6, INS = 0xA5, DEL = 0xA4, EQL = 0xA3, BKT = 0xA2;
} // namespace

TEST(KZJPatch, NumberEncodings)
{
    EXPECT_EQ(Number({0}), 1);
    EXPECT_EQ(Number({251}), 252);
    EXPECT_EQ(Number({252, 0}), 253);
    EXPECT_EQ(Number({252, 255}), 508);
    EXPECT_EQ(Number({253, 1, 0}), 256);
    EXPECT_EQ(Number({254, 0, 1, 0, 0}), 65536);
    EXPECT_EQ(Number({254, 0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFFFFFFLL);
    EXPECT_EQ(Number({}), 0);
    CKZTestEventRecorder events;
    EXPECT_EQ(Number({255, 1, 2}), -1);
    EXPECT_EQ(events.Count(CKZLog::EVENT_ERROR), 1);
    EXPECT_EQ(events.LastMessage(), "64-bit length numbers not supported!");
}

TEST(KZJPatch, Operations)
{
    const Bytes old = Counting(100);
    EXPECT_EQ(Apply(old, {}).output, Bytes());
    EXPECT_EQ(Apply(old, {}).code, KZEngine::JPATCH_OK);
    EXPECT_EQ(Apply(old, {ESC, INS, 'A', 'B'}).output, (Bytes{'A', 'B'}));
    EXPECT_EQ(Apply(old, {ESC, EQL, 9}).output, old.substr(0, 10));
    // Modify runs are owed to the old file: the equal after three modify bytes starts at position 3.
    EXPECT_EQ(Apply(old, {ESC, MOD, 'x', 'y', 'z', ESC, EQL, 1}).output, (Bytes{'x', 'y', 'z', 3, 4}));
    EXPECT_EQ(Apply(old, {ESC, DEL, 9, ESC, EQL, 1}).output, (Bytes{10, 11}));
    EXPECT_EQ(Apply(old, {ESC, EQL, 4, ESC, BKT, 2, ESC, EQL, 1}).output, (Bytes{0, 1, 2, 3, 4, 2, 3}));
    EXPECT_EQ(Apply(old, {ESC, MOD, 'a', 'b', ESC, BKT, 0, ESC, EQL, 0}).output, (Bytes{'a', 'b', 1}));
    EXPECT_EQ(Apply(old, {ESC, MOD, 'a', ESC, DEL, 0, ESC, EQL, 0}).output, (Bytes{'a', 2}));
    // Escapes: a doubled escape is one 0xA7, an escape before an ordinary byte two data bytes.
    EXPECT_EQ(Apply(old, {ESC, INS, ESC, ESC, ESC, 0x10}).output, (Bytes{ESC, ESC, 0x10}));
    EXPECT_EQ(Apply(old, {ESC, MOD, ESC, 0x10, ESC, EQL, 0}).output, (Bytes{ESC, 0x10, 2}));
    // A long equal crosses the 4096-byte copy buffer.
    const Bytes big = Counting(10000);
    EXPECT_EQ(Apply(big, {ESC, EQL, 253, 0x23, 0x28}).output, big.substr(0, 9000));
}

// Equal runs of 64 KiB and more may be copied by the kernel: the bytes and both files' positions
// must come out exactly as with the block copy, around buffered modify and insert bytes.
TEST(KZJPatch, LongEqualRunsKeepPositionsAndBufferedBytes)
{
    std::mt19937 rng(3);
    Bytes old(1 << 20, 0);
    for (unsigned char& b : old)
        b = static_cast<unsigned char>(rng() % 0xA0);
    // equal 300000, modify "xyz", equal 200000 (from 300003), backtrack 100000, insert "Q", equal
    // 70000 (from 400003), delete 6, equal 80000 (from 470009).
    const Bytes delta = {ESC, EQL, 254, 0x00, 0x04, 0x93, 0xE0, ESC, MOD, 'x', 'y', 'z',
                         ESC, EQL, 254, 0x00, 0x03, 0x0D, 0x40, ESC, BKT, 254, 0x00, 0x01, 0x86, 0xA0,
                         ESC, INS, 'Q', ESC, EQL, 254, 0x00, 0x01, 0x11, 0x70, ESC, DEL, 5,
                         ESC, EQL, 254, 0x00, 0x01, 0x38, 0x80};
    const SResult result = Apply(old, delta);
    const Bytes expected = old.substr(0, 300000) + Bytes{'x', 'y', 'z'} + old.substr(300003, 200000) + Bytes{'Q'} +
                           old.substr(400003, 70000) + old.substr(470009, 80000);
    EXPECT_EQ(result.code, KZEngine::JPATCH_OK);
    ASSERT_EQ(result.output.size(), expected.size());
    EXPECT_TRUE(result.output == expected);
    EXPECT_EQ(result.oldPosition, 470009 + 80000);

    // An old file that ends inside a long equal: the complete 4096-byte blocks, then result 1.
    CKZTestEventRecorder events;
    const Bytes shortOld = old.substr(0, 100000);
    const SResult cut = Apply(shortOld, {ESC, EQL, 254, 0x00, 0x02, 0x49, 0xF0});
    EXPECT_EQ(cut.code, KZEngine::JPATCH_READ_ERROR);
    EXPECT_TRUE(cut.output == shortOld.substr(0, 100000 / 4096 * 4096));
}

// An old file the kernel cannot copy from (a pipe) is copied through the buffer.
TEST(KZJPatch, LongEqualFromAPipe)
{
    const Bytes old = Counting(65536);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], old.data(), old.size()), static_cast<ssize_t>(old.size()));
    close(fds[1]);
    FILE* pOld = fdopen(fds[0], "rb");
    FILE* pDelta = TempFileWith({ESC, EQL, 254, 0x00, 0x01, 0x00, 0x00, ESC, INS, 'E'});
    FILE* pOut = tmpfile();
    EXPECT_EQ(KZEngine::JPatch(pOld, pDelta, pOut, 0), KZEngine::JPATCH_OK);
    Bytes output(65537, 0);
    rewind(pOut);
    EXPECT_EQ(fread(&output[0], 1, output.size(), pOut), output.size());
    EXPECT_TRUE(output == old + Bytes{'E'});
    fclose(pOld);
    fclose(pDelta);
    fclose(pOut);
}

TEST(KZJPatch, DataBytesWithoutModifyCodeAreModifyBytes)
{
    CKZTestEventRecorder events;
    const Bytes old = Counting(20);
    // Before any operation, and after equal, delete and backtrack, a data byte replaces an old byte.
    EXPECT_EQ(Apply(old, {'a', 'b', ESC, EQL, 1}).output, (Bytes{'a', 'b', 2, 3}));
    EXPECT_EQ(Apply(old, {ESC, EQL, 1, 'x', ESC, EQL, 0}).output, (Bytes{0, 1, 'x', 3}));
    EXPECT_EQ(Apply(old, {ESC, DEL, 4, 'x', ESC, EQL, 0}).output, (Bytes{'x', 6}));
    EXPECT_EQ(Apply(old, {ESC, EQL, 4, ESC, BKT, 1, 'x', ESC, EQL, 0}).output, (Bytes{0, 1, 2, 3, 4, 'x', 4}));
    // The same deltas with every modify code written read the same.
    EXPECT_EQ(Apply(old, {ESC, MOD, 'a', 'b', ESC, EQL, 1}).output, (Bytes{'a', 'b', 2, 3}));
    EXPECT_EQ(events.Count(CKZLog::EVENT_ASSERT), 0);
    EXPECT_EQ(events.Count(CKZLog::EVENT_ERROR), 0);
}

TEST(KZJPatch, FailuresAndMalformedDeltas)
{
    CKZTestEventRecorder events;
    const Bytes old = Counting(5000);
    // An old file shorter than an equal: the complete blocks are written, then result 1.
    SResult result = Apply(old, {ESC, EQL, 253, 0x17, 0x70});
    EXPECT_EQ(result.code, KZEngine::JPATCH_READ_ERROR);
    EXPECT_EQ(result.output, old.substr(0, 4096));
    EXPECT_EQ(events.LastMessage(), "Error reading original file.");

    result = Apply(old, {ESC, EQL, 1, ESC, BKT, 9});
    EXPECT_EQ(result.code, KZEngine::JPATCH_SEEK_ERROR);
    EXPECT_EQ(events.LastMessage(), "Could not position on original file (seek back 0 - 10).\n");

    // Ends inside an escape or a number, or a 64-bit length: malformed, and the old file stays put.
    for (const Bytes& delta : {Bytes{ESC}, Bytes{ESC, EQL}, Bytes{ESC, EQL, 253, 1}, Bytes{ESC, DEL, 254, 0, 0},
                               Bytes{ESC, EQL, 255, 0, 0, 0, 0, 0, 0, 0, 9}, Bytes{ESC, DEL, 255},
                               Bytes{ESC, BKT, 255}})
    {
        result = Apply(old, delta);
        EXPECT_EQ(result.code, KZEngine::JPATCH_MALFORMED_DELTA) << delta.size();
        EXPECT_EQ(result.oldPosition, 0);
        EXPECT_TRUE(result.output.empty());
    }
}

TEST(KZJPatch, ArbitraryDeltasEnd)
{
    // Every prefix of a real delta and random byte soup: each run ends with some result, never a crash.
    const std::string real = KZTestReadFile(KZ_SOURCE_DIR "/Tests/Fixtures/jdiff/small.jdf");
    const std::string oldText = KZTestReadFile(KZ_SOURCE_DIR "/Tests/Fixtures/jdiff/small.old");
    const Bytes old(oldText.begin(), oldText.end());
    for (size_t cut = 0; cut <= real.size(); ++cut)
    {
        const int code = Apply(old, Bytes(real.begin(), real.begin() + static_cast<long>(cut))).code;
        EXPECT_GE(code, 0);
        EXPECT_LE(code, 4);
    }
    std::mt19937 rng(11);
    const unsigned char pool[] = {ESC, MOD, INS, DEL, EQL, BKT, 0, 251, 252, 253, 254, 255, 'x'};
    for (int k = 0; k < 1500; ++k)
    {
        Bytes delta(rng() % 48, 0);
        for (unsigned char& b : delta)
            b = rng() % 3 ? pool[rng() % sizeof(pool)] : static_cast<unsigned char>(rng());
        const SResult result = Apply(old, delta);
        EXPECT_LE(result.code, 4);
        EXPECT_LE(result.output.size(), delta.size() * 2 + old.size());
    }
}

TEST_F(KZPatchFileTest, ResultCodesAndWhichFilesExist)
{
    const Bytes old = Counting(5000);
    EXPECT_EQ(Patch(old, {ESC, EQL, 9, ESC, INS, 'z'}), 0);
    EXPECT_EQ(KZTestReadFile(m_dir / "out"), std::string("\0\1\2\3\4\5\6\7\10\11z", 11));
    EXPECT_EQ(Patch(old, {}), 0);
    EXPECT_TRUE(fs::exists(m_dir / "out"));
    EXPECT_EQ(fs::file_size(m_dir / "out"), 0u);
    EXPECT_EQ(Patch(old, {ESC, EQL, 253, 0x17, 0x70}), 1);
    EXPECT_EQ(Patch(old, {ESC, BKT, 0}), 2);
    EXPECT_EQ(Patch(old, {ESC, EQL}), 7);

    fs::remove(m_dir / "out");
    EXPECT_EQ(kzpatch_patch((m_dir / "missing").c_str(), (m_dir / "delta").c_str(), (m_dir / "out").c_str()), 4);
    EXPECT_FALSE(fs::exists(m_dir / "out"));
    EXPECT_EQ(kzpatch_patch((m_dir / "old").c_str(), (m_dir / "missing").c_str(), (m_dir / "out").c_str()), 5);
    EXPECT_FALSE(fs::exists(m_dir / "out"));
    EXPECT_EQ(kzpatch_patch((m_dir / "old").c_str(), (m_dir / "delta").c_str(), (m_dir / "no" / "out").c_str()), 6);
    WriteFile(m_dir / "delta", {ESC, EQL, 253, 0x13, 0x87});
    EXPECT_EQ(kzpatch_patch((m_dir / "old").c_str(), (m_dir / "delta").c_str(), "/dev/full"), 3);
    // A patch that cannot be read (a directory) is no empty patch.
    EXPECT_EQ(kzpatch_patch((m_dir / "old").c_str(), m_dir.c_str(), (m_dir / "out").c_str()), 7);
}

TEST_F(KZPatchFileTest, PublishedWriterDeltasApply)
{
    int triplets = 0;
    for (const auto& entry : fs::directory_iterator(KZ_SOURCE_DIR "/Tests/Fixtures/jdiff"))
    {
        if (entry.path().extension() != ".jdf")
            continue;
        ++triplets;
        fs::path base = entry.path();
        base.replace_extension();
        const fs::path out = m_dir / base.filename();
        EXPECT_EQ(kzpatch_patch((base.string() + ".old").c_str(), entry.path().c_str(), out.c_str()), 0);
        EXPECT_EQ(KZTestReadFile(out), KZTestReadFile(base.string() + ".new")) << base;
    }
    EXPECT_GE(triplets, 3);
}

TEST_F(KZPatchFileTest, GeneratedDeltasRoundTrip)
{
    // Random edits of every kind and width, in both forms of the modify code.
    ASSERT_EQ(RunGenerator("random 1234 300 3000000 " + m_dir.string()), 0);
    for (int k = 0; k < 300; ++k)
    {
        const std::string base = (m_dir / std::to_string(k)).string();
        ASSERT_EQ(kzpatch_patch((base + ".old").c_str(), (base + ".jdf").c_str(), (base + ".out").c_str()), 0) << k;
        ASSERT_EQ(KZTestReadFile(base + ".out"), KZTestReadFile(base + ".new")) << k;
    }
    // Deltas computed from file pairs.
    for (const char* szName : {"lead", "small", "text"})
    {
        const std::string fixture = std::string(KZ_SOURCE_DIR "/Tests/Fixtures/jdiff/") + szName;
        for (const char* szForm : {"", " --omit-modify"})
        {
            const std::string delta = (m_dir / szName).string() + ".jdf";
            ASSERT_EQ(RunGenerator("diff " + fixture + ".old " + fixture + ".new " + delta + szForm), 0);
            const fs::path out = m_dir / "diff.out";
            EXPECT_EQ(kzpatch_patch((fixture + ".old").c_str(), delta.c_str(), out.c_str()), 0);
            EXPECT_EQ(KZTestReadFile(out), KZTestReadFile(fixture + ".new")) << szName << szForm;
        }
    }
}
