// File deltas made and applied on game-like pairs, checked against the zstd command-line tool as the
// other writer and reader of the format, and every kind of delta that must be refused.

#include "Base/Archive/KZFileDelta.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

namespace
{
typedef std::string Bytes;

// Structured records (names, counters, small floats) between runs of random bytes, as a pack of
// tables and compressed textures looks.
Bytes GameLikeFile(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    while (bytes.size() < size)
    {
        if (rng() % 4 == 0)
            for (size_t i = rng() % 8192; i > 0; --i)
                bytes += static_cast<char>(rng());
        else
            for (int i = 0; i < 64; ++i)
                bytes += "entity_" + std::to_string(rng() % 500) + "\tpos " + std::to_string(rng() % 1000) + "." +
                         std::to_string(rng() % 10) + "\thp " + std::to_string(rng() % 100) + "\n";
    }
    bytes.resize(size);
    return bytes;
}

Bytes Random(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(size, 0);
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

// The base with runs inserted, overwritten and moved, each a few per cent of it.
Bytes Edited(const Bytes& base, bool bInsert, bool bOverwrite, bool bMove)
{
    Bytes target = base;
    const size_t run = base.size() / 50;
    if (bOverwrite)
        target.replace(base.size() / 3, run, Random(run, 7));
    if (bMove)
    {
        // The base's first run goes to the end.
        const Bytes moved = target.substr(0, run);
        target.erase(0, run);
        target += moved;
    }
    if (bInsert)
        target.insert(base.size() / 2, Random(run, 8));
    return target;
}

class KZFileDeltaTest : public CKZTestWithDirectory
{
protected:
    KZFileDeltaTest() : CKZTestWithDirectory("kzfiledelta") {}

    static Bytes Make(const Bytes& base, const Bytes& target, int level = 19)
    {
        Bytes delta;
        std::string strWhy;
        EXPECT_TRUE(KZFileDelta::Make(reinterpret_cast<const uint8_t*>(base.data()), base.size(),
                                      reinterpret_cast<const uint8_t*>(target.data()), target.size(), level,
                                      [&](const void* p, size_t n) {
                                          delta.append(static_cast<const char*>(p), n);
                                          return true;
                                      },
                                      strWhy))
            << strWhy;
        return delta;
    }

    // The delta handed over at most `piece` bytes a read. With a size asked for, the delta is also
    // decoded in place into a buffer of that size, which must end the same way with the same bytes.
    static KZFileDelta::EResult Apply(const Bytes& base, const Bytes& delta, uint64_t qwSize, Bytes& out,
                                      size_t piece = SIZE_MAX)
    {
        size_t at = 0;
        const auto read = [&](void* p, size_t n) {
            const size_t count = std::min({n, piece, delta.size() - at});
            std::copy_n(delta.data() + at, count, static_cast<char*>(p));
            at += count;
            return static_cast<int64_t>(count);
        };
        out.clear();
        std::string strWhy;
        const KZFileDelta::EResult result = KZFileDelta::Apply(
            reinterpret_cast<const uint8_t*>(base.data()), base.size(), read,
            [&](const void* p, size_t n) {
                out.append(static_cast<const char*>(p), n);
                return true;
            },
            qwSize, strWhy);
        if (qwSize == KZFileDelta::kAnySize || qwSize > (64u << 20))
            return result;
        at = 0;
        Bytes inPlace(static_cast<size_t>(qwSize), '\0');
        size_t observed = 0;
        const KZFileDelta::EResult inPlaceResult = KZFileDelta::ApplyInPlace(
            reinterpret_cast<const uint8_t*>(base.data()), base.size(), read, reinterpret_cast<uint8_t*>(&inPlace[0]),
            inPlace.size(),
            [&](const void* p, size_t n) {
                EXPECT_EQ(p, inPlace.data() + observed) << "pieces are observed in order, where they were decoded";
                observed += n;
                return true;
            },
            strWhy);
        EXPECT_EQ(inPlaceResult, result);
        if (result == KZFileDelta::APPLIED)
        {
            EXPECT_EQ(observed, inPlace.size());
            EXPECT_TRUE(inPlace == out) << "in place";
        }
        return result;
    }

    KZFileDelta::EResult Apply(const Bytes& base, const Bytes& delta, Bytes& out)
    {
        return Apply(base, delta, KZFileDelta::kAnySize, out);
    }

    void Write(const std::string& strName, const Bytes& bytes) const
    {
        std::ofstream(Path(strName), std::ios::binary) << bytes;
    }

    // Runs the zstd tool in the test's folder; false when it failed.
    bool Zstd(const std::string& strArgs) const
    {
        return KZTestRunCommandIn(m_dir.string(), "zstd -q -f " + strArgs, Path("zstd")).status == 0;
    }

    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        if (system("zstd --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "the zstd tool is not installed";
        m_base = GameLikeFile(300 * 1024, 1);
        m_target = Edited(m_base, true, true, true);
        m_delta = Make(m_base, m_target);
    }

    Bytes m_base, m_target, m_delta;
};
} // namespace

TEST_F(KZFileDeltaTest, GameLikeEditsRoundTripInSmallDeltas)
{
    const bool kEdits[][3] = {{true, false, false}, {false, true, false}, {false, false, true}, {true, true, true}};
    for (const auto& edit : kEdits)
    {
        const Bytes target = Edited(m_base, edit[0], edit[1], edit[2]);
        const Bytes delta = Make(m_base, target);
        Bytes out;
        EXPECT_EQ(Apply(m_base, delta, target.size(), out), KZFileDelta::APPLIED);
        EXPECT_TRUE(out == target) << edit[0] << edit[1] << edit[2];
        // Only the new runs cost: the moved and kept ones come from the base.
        EXPECT_LT(delta.size(), m_base.size() / 20) << edit[0] << edit[1] << edit[2];
    }
    // Read a few bytes at a time, the frame header split over reads.
    Bytes out;
    EXPECT_EQ(Apply(m_base, m_delta, m_target.size(), out, 7), KZFileDelta::APPLIED);
    EXPECT_TRUE(out == m_target);
    const Bytes fast = Make(m_base, m_target, 1);
    EXPECT_EQ(Apply(m_base, fast, out), KZFileDelta::APPLIED);
    EXPECT_TRUE(out == m_target);
}

TEST_F(KZFileDeltaTest, EmptyBaseOrTarget)
{
    Bytes out = "stale";
    EXPECT_EQ(Apply(Bytes(), Make(Bytes(), m_target), m_target.size(), out), KZFileDelta::APPLIED);
    EXPECT_TRUE(out == m_target);
    EXPECT_EQ(Apply(m_base, Make(m_base, Bytes()), 0, out), KZFileDelta::APPLIED);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Apply(Bytes(), Make(Bytes(), Bytes()), 0, out), KZFileDelta::APPLIED);
    EXPECT_TRUE(out.empty());
}

TEST_F(KZFileDeltaTest, TheZstdToolReadsOursAndWeReadItsOwn)
{
    // A base larger than zstd's default window, and a run moved from its start to the target's end.
    const Bytes base = GameLikeFile(6 << 20, 2);
    const Bytes target = Edited(base, true, true, true);
    Write("old", base);
    Write("new", target);
    Write("ours.delta", Make(base, target));
    ASSERT_TRUE(Zstd("-d --long=31 --patch-from=old ours.delta -o ours.out"));
    EXPECT_TRUE(KZTestReadFile(m_dir / "ours.out") == target);

    ASSERT_TRUE(Zstd("--patch-from=old -19 --long new -o theirs.delta"));
    const Bytes theirs = KZTestReadFile(m_dir / "theirs.delta");
    Bytes out;
    EXPECT_EQ(Apply(base, theirs, target.size(), out, 4096), KZFileDelta::APPLIED);
    EXPECT_TRUE(out == target);
    EXPECT_LT(theirs.size(), base.size() / 20);

    // Small files and the tool's fastest level.
    Write("old", m_base);
    Write("new", m_target);
    ASSERT_TRUE(Zstd("--patch-from=old -1 new -o small.delta"));
    EXPECT_EQ(Apply(m_base, KZTestReadFile(m_dir / "small.delta"), out), KZFileDelta::APPLIED);
    EXPECT_TRUE(out == m_target);
}

TEST_F(KZFileDeltaTest, RefusesDeltasThatAreNotOneWholeFrameForThisBase)
{
    Bytes out;
    // Cut in the header, after it, within a block, and short of the checksum's last byte.
    for (const size_t length : {size_t(0), size_t(3), size_t(5), size_t(12), m_delta.size() / 2, m_delta.size() - 1})
        EXPECT_EQ(Apply(m_base, m_delta.substr(0, length), out), KZFileDelta::MALFORMED) << length;

    const Bytes skippable = Bytes("\x50\x2a\x4d\x18\x04\x00\x00\x00" "abcd", 12);
    EXPECT_EQ(Apply(m_base, m_delta + "x", out), KZFileDelta::MALFORMED);
    // The frame ends with a read, the byte after it comes with the next one.
    EXPECT_EQ(Apply(m_base, m_delta + "x", KZFileDelta::kAnySize, out, m_delta.size()), KZFileDelta::MALFORMED);
    EXPECT_EQ(Apply(m_base, m_delta + m_delta, out), KZFileDelta::MALFORMED);
    EXPECT_EQ(Apply(m_base, skippable + m_delta, out), KZFileDelta::MALFORMED);
    EXPECT_EQ(Apply(m_base, m_delta + skippable, out), KZFileDelta::MALFORMED);
    EXPECT_EQ(Apply(m_base, Random(4096, 3), out), KZFileDelta::MALFORMED);

    // A base of the same size with one byte changed decodes, but not to the frame's checksum.
    Bytes wrongBase = m_base;
    wrongBase[wrongBase.size() / 2] ^= 1;
    EXPECT_EQ(Apply(wrongBase, m_delta, out), KZFileDelta::MALFORMED);
    EXPECT_EQ(Apply(m_base.substr(1), m_delta, out), KZFileDelta::MALFORMED);
    // Without a checksum the wrong base would go unnoticed, so such a frame is refused for any base.
    Write("old", m_base);
    Write("new", m_target);
    ASSERT_TRUE(Zstd("--patch-from=old --no-check new -o unchecked.delta"));
    EXPECT_EQ(Apply(m_base, KZTestReadFile(m_dir / "unchecked.delta"), out), KZFileDelta::MALFORMED);
}

TEST_F(KZFileDeltaTest, RefusesAnotherSizeThanAskedAndFramesWithoutOne)
{
    Bytes out;
    EXPECT_EQ(Apply(m_base, m_delta, m_target.size() + 1, out), KZFileDelta::WRONG_SIZE);
    EXPECT_EQ(Apply(m_base, m_delta, m_target.size() - 1, out), KZFileDelta::WRONG_SIZE);
    EXPECT_TRUE(out.empty());

    Write("old", m_base);
    Write("new", m_target);
    ASSERT_TRUE(Zstd("--patch-from=old --no-content-size new -o sizeless.delta"));
    const Bytes sizeless = KZTestReadFile(m_dir / "sizeless.delta");
    ASSERT_TRUE(KZFileDelta::StartsLikeDelta(sizeless.data(), sizeless.size()));
    EXPECT_EQ(Apply(m_base, sizeless, out), KZFileDelta::WRONG_SIZE);
    EXPECT_EQ(Apply(m_base, sizeless, m_target.size(), out), KZFileDelta::WRONG_SIZE);
}

TEST_F(KZFileDeltaTest, ReaderAndWriterFailuresStopIt)
{
    std::string strWhy;
    const auto base = reinterpret_cast<const uint8_t*>(m_base.data());
    size_t at = 0;
    const auto read = [&](void* p, size_t n) {
        const size_t count = std::min(n, m_delta.size() - at);
        std::copy_n(m_delta.data() + at, count, static_cast<char*>(p));
        at += count;
        return static_cast<int64_t>(count);
    };
    int writes = 0;
    EXPECT_EQ(KZFileDelta::Apply(base, m_base.size(), read, [&](const void*, size_t) { return ++writes < 1; },
                                 KZFileDelta::kAnySize, strWhy),
              KZFileDelta::WRITE_FAILED);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(KZFileDelta::Apply(base, m_base.size(), [](void*, size_t) { return int64_t(-1); },
                                 [](const void*, size_t) { return true; }, KZFileDelta::kAnySize, strWhy),
              KZFileDelta::READ_FAILED);
    EXPECT_FALSE(KZFileDelta::Make(base, m_base.size(), base, m_base.size(), 3,
                                   [](const void*, size_t) { return false; }, strWhy));
}
