// Readers of packed files over a data file of known bytes: positions and bounds relative to the
// packed file, readers that share one descriptor, and a reader that outlives its pack's file name.

#include "System/KZPackReader.h"

#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
class KZPackReaderTest : public CKZTestWithDirectory
{
protected:
    KZPackReaderTest() : CKZTestWithDirectory("kzpackreader") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        std::ofstream(Path("data.csa"), std::ios::binary) << "01234" << "56789ABCDE" << "FGHIJ";
        m_pData = std::make_shared<CKZFileDescriptor>(CKZFileDescriptor::OpenForReading(Path("data.csa")));
        ASSERT_TRUE(m_pData->IsOpen());
    }
    // The packed file "56789ABCDE" between two others.
    CKZPackReader Middle() const { return CKZPackReader(m_pData, 5, 10); }
    static std::string ReadAll(CKZPackReader& reader)
    {
        char buffer[64];
        const int got = reader.Read(buffer, 1, sizeof(buffer));
        return std::string(buffer, static_cast<size_t>(std::max(got, 0)));
    }

    std::shared_ptr<CKZFileDescriptor> m_pData;
};
} // namespace

TEST_F(KZPackReaderTest, PositionsAndBoundsAreThePackedFiles)
{
    CKZPackReader reader = Middle();
    EXPECT_EQ(reader.Tell(), 0);
    EXPECT_EQ(reader.GetLength(), 10u);
    EXPECT_FALSE(reader.IsAtEnd());
    EXPECT_EQ(ReadAll(reader), "56789ABCDE");
    EXPECT_TRUE(reader.IsAtEnd());
    EXPECT_EQ(reader.Tell(), 10);

    // Whole elements only, never past the end.
    ASSERT_EQ(reader.Seek(1, 0), 0);
    char buffer[16] = {};
    EXPECT_EQ(reader.Read(buffer, 4, 10), 2);
    EXPECT_EQ(std::string(buffer, 8), "6789ABCD");
    EXPECT_EQ(reader.Tell(), 9);
    EXPECT_EQ(reader.Read(buffer, 4, 1), 0);
    EXPECT_EQ(reader.Read(buffer, 0, 5), 0);
    EXPECT_EQ(reader.Read(buffer, 1, -1), 0);

    EXPECT_EQ(reader.Seek(-3, 2), 0);
    EXPECT_EQ(reader.Tell(), 7);
    EXPECT_EQ(reader.Seek(-2, 1), 0);
    EXPECT_EQ(reader.Tell(), 5);
    EXPECT_EQ(ReadAll(reader), "ABCDE");
    // Past the end a read gives nothing; an unknown origin changes nothing.
    EXPECT_EQ(reader.Seek(4, 2), 0);
    EXPECT_EQ(reader.Tell(), 14);
    EXPECT_TRUE(reader.IsAtEnd());
    EXPECT_EQ(ReadAll(reader), "");
    EXPECT_EQ(reader.Seek(0, 7), 0);
    EXPECT_EQ(reader.Tell(), 14);

    // Places before the data file's start or beyond what an int expresses are refused in place.
    EXPECT_EQ(reader.Seek(-6, 0), -1);
    EXPECT_EQ(reader.Seek(-100, 1), -1);
    EXPECT_EQ(reader.Seek(INT_MAX, 0), -1);
    EXPECT_EQ(reader.Seek(INT_MAX - 14, 2), -1);
    EXPECT_EQ(reader.Tell(), 14);
}

TEST_F(KZPackReaderTest, ReadersShareTheDescriptorNotThePosition)
{
    CKZPackReader first = Middle();
    CKZPackReader second = Middle();
    CKZPackReader last(m_pData, 15, 5);
    char buffer[4] = {};
    ASSERT_EQ(first.Read(buffer, 1, 3), 3);
    EXPECT_EQ(ReadAll(last), "FGHIJ");
    EXPECT_EQ(ReadAll(second), "56789ABCDE");
    EXPECT_EQ(first.Tell(), 3);
    EXPECT_EQ(ReadAll(first), "89ABCDE");
    EXPECT_EQ(first.GetDescriptor(), m_pData->Get());
    EXPECT_EQ(first.GetDataPosition(), 15);
}

// What a patch run does to a pack while a reader is open: the index lets go of the data file and
// a new file is renamed over its name. The reader still reads the bytes it was opened on.
TEST_F(KZPackReaderTest, ReaderKeepsItsBytesWhenThePackIsReplaced)
{
    CKZPackReader reader = Middle();
    m_pData.reset();
    std::ofstream(Path("new.csa"), std::ios::binary) << std::string(20, 'x');
    fs::rename(Path("new.csa"), Path("data.csa"));
    EXPECT_EQ(ReadAll(reader), "56789ABCDE");
}

// A data file cut short under an open reader: the reader delivers what is there, then nothing.
TEST_F(KZPackReaderTest, ShortenedDataFileEndsTheRead)
{
    CKZPackReader reader = Middle();
    fs::resize_file(Path("data.csa"), 8);
    EXPECT_EQ(ReadAll(reader), "567");
    EXPECT_EQ(ReadAll(reader), "");
    CKZPackReader nothing(nullptr, 0, 4);
    EXPECT_EQ(ReadAll(nothing), "");
    EXPECT_EQ(nothing.GetDescriptor(), -1);
}
