#include "Base/Serialize/KZSerialize.h"

#include "Base/Debug/KZLog.h"
#include "Base/Serialize/KZSerializeVersionConverter.h"

#include "Fixtures/KZTestEvents.h"
#include <gtest/gtest.h>

#include <random>

namespace
{
KZ_KEY(s_keyA, "test.a");
KZ_KEY(s_keyB, "test.b");
KZ_KEY(s_keyName, "test.name");
KZ_KEY(s_keyChild, "test.child");
KZ_KEY(s_keyList, "test.list");
KZ_KEY(s_keyPosition, "test.position");
KZ_KEY(s_keyBox, "test.box");

typedef std::vector<char> Image;

// The binary form: count, version 3, the nodes, the content.
Image ImageOf(const CKZSerializer& serializer)
{
    Image image(8);
    const uint32_t header[2] = {serializer.GetNodeCount(), 3};
    memcpy(image.data(), header, 8);
    const char* pNodes = reinterpret_cast<const char*>(serializer.GetNodeBuffer());
    image.insert(image.end(), pNodes, pNodes + serializer.GetNodeBufferSize());
    const char* pContent = reinterpret_cast<const char*>(serializer.GetContentBuffer());
    image.insert(image.end(), pContent, pContent + serializer.GetContentBufferSize());
    return image;
}

std::vector<uint32_t> Words(const Image& image)
{
    std::vector<uint32_t> words(image.size() / 4);
    memcpy(words.data(), image.data(), words.size() * 4);
    return words;
}

struct SItem
{
    uint32_t dwValue = 0;
    std::string strName;
    void Serialize(CKZSerializer* pSerializer)
    {
        pSerializer->Serialize(s_keyA, dwValue);
        pSerializer->Serialize(s_keyName, strName, "unnamed");
    }
};

} // namespace

TEST(KZSerializer, EmptyImageIsTwentyBytes)
{
    CKZSerializer serializer;
    const Image image = ImageOf(serializer);
    ASSERT_EQ(image.size(), 20u);
    EXPECT_EQ(Words(image), (std::vector<uint32_t>{1, 3, 0, 0xFFFFFFFF, 0x100}));
}

TEST(KZSerializer, StringsAndScalarsExactBytes)
{
    CKZSerializer serializer;
    std::string abc = "abc", abcd = "abcd";
    uint32_t zero = 0;
    float f = 1.5f;
    serializer.Serialize(s_keyA, abc);
    serializer.Serialize(s_keyB, abcd);
    serializer.Serialize(s_keyName, zero); // the default is not stored
    serializer.Serialize(s_keyChild, f);
    const std::vector<uint32_t> words = Words(ImageOf(serializer));
    ASSERT_EQ(words[0], 4u);
    // Node 1: "abc" embedded, flags 0xA04.
    EXPECT_EQ(words[5], s_keyA.GetId());
    EXPECT_EQ(words[6], 0x00636261u);
    EXPECT_EQ(words[7], 0xA04u);
    // Node 2: "abcd" as a content record {5, a b c d 0} at offset 0.
    EXPECT_EQ(words[8], s_keyB.GetId());
    EXPECT_EQ(words[9], 0u);
    EXPECT_EQ(words[10], 0x204u);
    EXPECT_EQ(words[11], s_keyChild.GetId());
    EXPECT_EQ(words[13], 0xA03u);
    const Image image = ImageOf(serializer);
    EXPECT_EQ(std::string(image.data() + 8 + 48, 9), std::string("\5\0\0\0abcd\0", 9));
}

TEST(KZSerializer, ContentAfterAChildLandsBeforeIt)
{
    CKZSerializer serializer;
    uint32_t one = 1, two = 2;
    serializer.CreateContainerNode(s_keyChild.GetId()); // 1, parent 0
    serializer.CreateContainerNode(s_keyList.GetId());  // 2, parent 1
    serializer.LeaveScope();
    serializer.LeaveScope();
    serializer.Serialize(s_keyA, one); // goes to the root, before node 1
    serializer.Serialize(s_keyB, two);
    const SKZSerializerNode* pNodes = serializer.GetNodeBuffer();
    ASSERT_EQ(serializer.GetNodeCount(), 5u);
    EXPECT_EQ(pNodes[1].m_dwKey, s_keyA.GetId());
    EXPECT_EQ(pNodes[2].m_dwKey, s_keyB.GetId());
    EXPECT_EQ(pNodes[3].m_dwKey, s_keyChild.GetId());
    EXPECT_EQ(pNodes[3].m_dwInternalContent, 0u) << "the child's own parent does not change";
    EXPECT_EQ(pNodes[4].m_dwInternalContent, 3u) << "the inner parent index grows with each insertion";
}

TEST(KZSerializer, RoundTripThroughAnImage)
{
    CKZSerializer save;
    int32_t i = -5;
    uint16_t w = 7;
    uint8_t b = 9;
    bool flag = true;
    std::string empty, longText(300, 'x');
    CKZVector3 position{1, 2, 3};
    CKZBox box{{1, 1, 1}, {2, 2, 2}};
    std::vector<SItem> items(3);
    items[0].dwValue = 10;
    items[1].strName = "second";
    items[2].dwValue = 30;
    save.Serialize(s_keyA, i);
    save.Serialize(s_keyB, w);
    save.CreateContainerNode(s_keyChild.GetId());
    save.Serialize(s_keyA, b);
    save.Serialize(s_keyB, flag);
    save.Serialize(s_keyName, empty);
    save.LeaveScope();
    save.Serialize(s_keyName, longText);
    save.Serialize(s_keyPosition, position);
    save.Serialize(s_keyBox, box);
    save.Serialize(s_keyList, items);

    Image image = ImageOf(save);
    CKZSerializer load(image.data(), image.size());
    ASSERT_TRUE(load.IsImageValid());
    int32_t i2 = 0;
    uint16_t w2 = 0;
    uint8_t b2 = 0;
    bool flag2 = false;
    std::string empty2 = "x", long2;
    CKZVector3 position2;
    CKZBox box2;
    std::vector<SItem> items2;
    // Read out of order: the look-ups search the scope.
    load.Serialize(s_keyName, long2);
    load.Serialize(s_keyB, w2);
    load.Serialize(s_keyA, i2);
    ASSERT_NE(load.FindContainerByKey(s_keyChild.GetId()), nullptr);
    load.Serialize(s_keyB, flag2);
    load.Serialize(s_keyA, b2);
    load.Serialize(s_keyName, empty2, "default");
    load.LeaveScope();
    load.Serialize(s_keyPosition, position2);
    load.Serialize(s_keyBox, box2);
    load.Serialize(s_keyList, items2);
    EXPECT_EQ(i2, -5);
    EXPECT_EQ(w2, 7);
    EXPECT_EQ(b2, 9);
    EXPECT_TRUE(flag2);
    EXPECT_EQ(empty2, "") << "a stored empty string is not the default";
    EXPECT_EQ(long2, longText);
    EXPECT_EQ(position2, position);
    EXPECT_EQ(box2, box);
    ASSERT_EQ(items2.size(), 3u);
    EXPECT_EQ(items2[0].dwValue, 10u);
    EXPECT_EQ(items2[0].strName, "");
    EXPECT_EQ(items2[1].strName, "second");
    EXPECT_EQ(items2[2].dwValue, 30u);

    // Absent keys give defaults; a missing structure is left alone.
    std::string missing;
    load.Serialize(s_keyChild, missing, "fallback");
    EXPECT_EQ(missing, "fallback");
    CKZBox untouched{{5, 5, 5}, {6, 6, 6}};
    CKZSerializer fresh(SERIALIZE_MODE_LOAD);
    fresh.Serialize(s_keyBox, untouched);
    EXPECT_EQ(untouched.min.x, 5);
}

TEST(KZSerializer, ScrambledStrings)
{
    CKZSerializer save;
    save.SetEncryptStrings(true);
    std::string three = "abc", text = "hello world";
    save.Serialize(s_keyA, three);
    save.Serialize(s_keyB, text);
    save.DecryptStrings();
    Image image = ImageOf(save);
    // k = (3 mod 16) + 1 = 4 is subtracted from each byte; the zero stays.
    EXPECT_EQ(Words(image)[6], 0x005F5E5Du);
    CKZSerializer load(image.data(), image.size());
    load.DecryptStrings();
    EXPECT_TRUE(load.GetEncryptStrings());
    std::string three2, text2;
    load.Serialize(s_keyA, three2);
    load.Serialize(s_keyB, text2);
    EXPECT_EQ(three2, "abc");
    EXPECT_EQ(text2, "hello world");
}

TEST(KZSerializer, ScopesAndSiblings)
{
    CKZSerializer save;
    for (uint32_t k = 0; k < 3; ++k)
    {
        save.CreateContainerNode(s_keyChild.GetId());
        save.Serialize(s_keyA, k);
        save.CreateContainerNode(s_keyList.GetId());
        save.LeaveScope();
        save.LeaveScope();
    }
    Image image = ImageOf(save);
    CKZSerializer load(image.data(), image.size());
    EXPECT_EQ(load.GetContainerCountInScope(), 3u);
    ASSERT_NE(load.FindContainerByKey(s_keyChild.GetId()), nullptr);
    uint32_t seen = 99;
    load.Serialize(s_keyA, seen);
    EXPECT_EQ(seen, 0u);
    ASSERT_TRUE(load.EnterNextSiblingScope());
    load.Serialize(s_keyA, seen);
    EXPECT_EQ(seen, 1u);
    ASSERT_TRUE(load.EnterNextSiblingScope());
    load.Serialize(s_keyA, seen);
    EXPECT_EQ(seen, 2u);
    EXPECT_FALSE(load.EnterNextSiblingScope());
}

TEST(KZSerializer, TypeMismatchCopiesStoredBytesAndZeroFills)
{
    CKZSerializer save;
    uint8_t small = 0xAB;
    save.Serialize(s_keyA, small);
    std::string text = "abcdefgh";
    save.Serialize(s_keyB, text);
    Image image = ImageOf(save);
    CKZSerializer load(image.data(), image.size());
    CKZTestEventRecorder events;
    CKZVector4 wide{9, 9, 9, 9};
    load.Serialize(s_keyB, wide); // 9 stored bytes, 16 requested
    EXPECT_EQ(events.Count(), 1);
    EXPECT_EQ(events.LastMessage(), "Serialize type mismatch. Read size 16 actual size 9");
    float fx;
    memcpy(&fx, "abcd", 4);
    EXPECT_EQ(wide.x, fx);
    EXPECT_EQ(wide.w, 0.0f);
}

TEST(KZSerializer, OldLayoutIsConverted)
{
    // Old layout: count, then 16-byte records {key, parent, data, flags16, pad16}, then content.
    std::vector<uint32_t> words = {4,
                                   0, 0xFFFFFFFF, 0, 0x100,
                                   s_keyA.GetId(), 0, 42, 0xA02,
                                   s_keyChild.GetId(), 0, 0, 0x100,
                                   s_keyName.GetId(), 2, 0, 0x204,
                                   6, 0x6c6c6568, 0x006f};
    Image image(words.size() * 4 + 8, 0);
    memcpy(image.data(), words.data(), words.size() * 4);
    CKZSerializer load(image.data(), image.size());
    ASSERT_TRUE(load.IsImageValid());
    EXPECT_EQ(Words(image)[1], 3u) << "converted in place";
    uint32_t a = 0;
    std::string name;
    load.Serialize(s_keyA, a);
    ASSERT_NE(load.FindContainerByKey(s_keyChild.GetId()), nullptr);
    load.Serialize(s_keyName, name);
    EXPECT_EQ(a, 42u);
    EXPECT_EQ(name, "hello");
}

TEST(KZSerializer, CorruptImagesLoadEmpty)
{
    CKZSerializer save;
    std::string text = "some longer text";
    uint32_t value = 5;
    std::vector<SItem> items(2);
    save.Serialize(s_keyName, text);
    save.Serialize(s_keyA, value);
    save.Serialize(s_keyList, items);
    const Image good = ImageOf(save);

    CKZTestEventRecorder events;
    std::mt19937 rng(17);
    int refused = 0;
    for (int k = 0; k < 4000; ++k)
    {
        Image image = good;
        if (k % 3 == 0)
            image.resize(rng() % (good.size() + 1));
        for (int flips = 1 + rng() % 4; flips > 0 && !image.empty(); --flips)
            image[rng() % image.size()] = static_cast<char>(rng());
        if (k % 5 == 0)
            image[4] = 0; // old layout
        CKZSerializer load(image.data(), image.size());
        refused += !load.IsImageValid();
        std::string text2;
        uint32_t value2 = 0;
        std::vector<SItem> items2;
        load.Serialize(s_keyName, text2);
        load.Serialize(s_keyA, value2);
        load.Serialize(s_keyList, items2);
        EXPECT_LE(items2.size(), 0xFFFFFFFFu);
        load.GetContentBufferSize();
        while (load.EnterNextSiblingScope())
            load.GetContainerCountInScope();
    }
    EXPECT_GT(refused, 0);
    Image tooShort(4, 0);
    CKZSerializer refusedImage(tooShort.data(), tooShort.size());
    EXPECT_FALSE(refusedImage.IsImageValid());
    uint32_t value2 = 77;
    refusedImage.Serialize(s_keyA, value2);
    EXPECT_EQ(value2, 0u);
}

TEST(KZSerializer, UniqueObjectsStoreDistinctFileIds)
{
    // Two objects with the same id: saving gives the second a fresh one, under "fileId".
    IKZSerializableUniqueObject first, second;
    first.GetFileId().SetId(7);
    second.GetFileId().SetId(7);
    CKZSerializer save;
    save.CreateContainerNode(s_keyChild.GetId());
    first.Serialize(&save);
    save.LeaveScope();
    save.CreateContainerNode(s_keyList.GetId());
    second.Serialize(&save);
    save.LeaveScope();
    EXPECT_EQ(first.GetFileId().GetId(), 7u);
    EXPECT_NE(second.GetFileId().GetId(), 7u);
    EXPECT_NE(second.GetFileId().GetId(), 0u);

    Image image = ImageOf(save);
    CKZSerializer load(image.data(), image.size());
    ASSERT_TRUE(load.IsImageValid());
    IKZSerializableUniqueObject firstBack, secondBack;
    ASSERT_NE(load.FindContainerByKey(s_keyChild.GetId()), nullptr);
    firstBack.Serialize(&load);
    load.LeaveScope();
    ASSERT_NE(load.FindContainerByKey(s_keyList.GetId()), nullptr);
    secondBack.Serialize(&load);
    load.LeaveScope();
    EXPECT_EQ(firstBack.GetFileId().GetId(), 7u);
    EXPECT_EQ(secondBack.GetFileId().GetId(), second.GetFileId().GetId());
    EXPECT_EQ(CKZKey::ToString(save.GetNodeBuffer()[2].m_dwKey), "fileId");
}
