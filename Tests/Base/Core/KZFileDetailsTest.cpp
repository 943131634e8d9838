#include "Base/Core/KZFileDetails.h"

#include "Base/Hash/KZStringHash.h"

#include <gtest/gtest.h>

TEST(KZFileDetails, ZeroRecordHasThreeStringsAndAnEmptyTime)
{
    CKZFileDetails zero;
    CKZSerializer save;
    zero.Serialize(&save);
    ASSERT_EQ(save.GetNodeCount(), 5u);
    const SKZSerializerNode* nodes = save.GetNodeBuffer();
    EXPECT_EQ(nodes[1].m_dwKey, KZEngine::Hash("name"));
    EXPECT_EQ(nodes[2].m_dwKey, KZEngine::Hash("path"));
    EXPECT_EQ(nodes[3].m_dwKey, KZEngine::Hash("stage_path"));
    EXPECT_EQ(nodes[4].m_dwKey, KZEngine::Hash("time"));
    EXPECT_EQ(nodes[4].m_dwFlags, 0x100u);

    SKZFileTime time;
    time.Set(0x0000000500000006ull);
    CKZFileDetails full("n.bin", "Data/n.bin", time, 1, 2, -3, 4, 5, 6, 7, 8);
    EXPECT_EQ(full.m_dwUserData, 6u);
    EXPECT_EQ(full.m_dwStage, 7u);
    EXPECT_EQ(full.m_dwZipIndex, 8u);
    EXPECT_EQ(full.GetPath(CKZPath("/root/")).GetString(), "/root/Data/n.bin");
    EXPECT_EQ(full.GetRelativePath(), "Data/n.bin");
}

TEST(KZFileDetails, MissingTimeLeavesTheTimeAlone)
{
    CKZSerializer empty(SERIALIZE_MODE_LOAD);
    CKZFileDetails record;
    record.m_Time.Set(99);
    record.m_dwSize = 5;
    record.Serialize(&empty);
    EXPECT_EQ(record.m_Time.Get(), 99u);
    EXPECT_EQ(record.m_dwSize, 0u) << "absent numbers read as 0";
    EXPECT_EQ(record.GetRelativePath(), "");
}
