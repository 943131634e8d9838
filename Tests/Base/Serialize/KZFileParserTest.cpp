#include "Base/Serialize/KZFileParser.h"

#include "Base/Serialize/KZFileParserXML.h"

#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
KZ_KEY(s_keyMagic, "dwmagic");
KZ_KEY(s_keyPath, "szpath");
KZ_KEY(s_keySigned, "parser.signed");
KZ_KEY(s_keyFloat, "parser.float");
KZ_KEY(s_keyPosition, "parser.position");
KZ_KEY(s_keyFlag, "parser.flag");
KZ_KEY(s_keySmall, "parser.small");
KZ_KEY(s_keyWord, "parser.word");
KZ_KEY(s_keyBox, "parser.box");
KZ_KEY(s_keyItems, "parser.items");
KZ_KEY(s_keyArray, "parser.array");
KZ_KEY(s_keyTime, "time");

struct SItem
{
    uint32_t dwValue = 0;
    std::string strName;
    void Serialize(CKZSerializer* p)
    {
        p->Serialize(s_keyMagic, dwValue);
        p->Serialize(s_keyPath, strName);
    }
};

struct SRecord
{
    uint32_t dwMagic = 0;
    std::string strPath;
    int32_t iSigned = 0;
    float fValue = 0;
    CKZVector3 position;
    bool bFlag = false;
    uint8_t bySmall = 0;
    uint16_t wWord = 0;
    CKZBox box;
    std::vector<SItem> items;

    void Serialize(CKZSerializer* p)
    {
        p->Serialize(s_keyMagic, dwMagic);
        p->Serialize(s_keyPath, strPath);
        p->Serialize(s_keySigned, iSigned);
        p->Serialize(s_keyFloat, fValue);
        p->Serialize(s_keyPosition, position);
        p->Serialize(s_keyFlag, bFlag);
        p->Serialize(s_keySmall, bySmall);
        p->Serialize(s_keyWord, wWord);
        p->Serialize(s_keyBox, box);
        p->Serialize(s_keyItems, items);
    }
};

SRecord Sample()
{
    SRecord r;
    r.dwMagic = 0x80000001;
    r.strPath = "<a & 'b'> \"q\"";
    r.iSigned = -42;
    r.fValue = 0.1f;
    r.position = {1.5f, -2.25f, 1e-7f};
    r.bFlag = true;
    r.bySmall = 200;
    r.wWord = 65000;
    r.box = {{-1, -2, -3}, {4, 5, 6}};
    r.items.resize(2);
    r.items[0].dwValue = 7;
    r.items[1].strName = "second";
    return r;
}

void ExpectSame(const SRecord& a, const SRecord& b)
{
    EXPECT_EQ(a.dwMagic, b.dwMagic);
    EXPECT_EQ(a.strPath, b.strPath);
    EXPECT_EQ(a.iSigned, b.iSigned);
    EXPECT_EQ(a.fValue, b.fValue);
    EXPECT_EQ(a.position, b.position);
    EXPECT_EQ(a.bFlag, b.bFlag);
    EXPECT_EQ(a.bySmall, b.bySmall);
    EXPECT_EQ(a.wWord, b.wWord);
    EXPECT_EQ(a.box, b.box);
    ASSERT_EQ(a.items.size(), b.items.size());
    for (size_t i = 0; i < a.items.size(); ++i)
    {
        EXPECT_EQ(a.items[i].dwValue, b.items[i].dwValue);
        EXPECT_EQ(a.items[i].strName, b.items[i].strName);
    }
}

class KZFileParserTest : public CKZTestWithDirectory
{
protected:
    KZFileParserTest() : CKZTestWithDirectory("kzparser") {}

    SRecord LoadRecord(const std::string& strPath)
    {
        CKZFile file;
        EXPECT_TRUE(file.OpenInMemory(strPath.c_str()));
        std::unique_ptr<CKZSerializer> pSerializer;
        EXPECT_EQ(CKZFileParser::Load(file, pSerializer), CKZFileParser::LOAD_OK);
        SRecord r;
        if (pSerializer)
            r.Serialize(pSerializer.get());
        return r;
    }
};
} // namespace

TEST_F(KZFileParserTest, BinaryXmlBinaryRoundTrip)
{
    SRecord original = Sample();
    CKZSerializer save;
    original.Serialize(&save);
    ASSERT_TRUE(CKZFileParser::Save(CKZPath(Path("a.bin")), save));
    ASSERT_TRUE(CKZFileParser::Save(CKZPath(Path("direct.xml")), save));
    EXPECT_EQ(KZTestReadFile(m_dir / "a.bin").size(), 8u + save.GetNodeBufferSize() + save.GetContentBufferSize());
    ExpectSame(LoadRecord(Path("a.bin")), original);
    ExpectSame(LoadRecord(Path("direct.xml")), original);

    ASSERT_EQ(CKZFileParser::ConvertScene(Path("a.bin").c_str(), Path("b.xml").c_str()), 0);
    EXPECT_EQ(KZTestReadFile(m_dir / "b.xml"), KZTestReadFile(m_dir / "direct.xml"));
    ASSERT_EQ(CKZFileParser::ConvertScene(Path("b.xml").c_str(), Path("c.bin").c_str()), 0);
    ExpectSame(LoadRecord(Path("c.bin")), original);
    EXPECT_EQ(CKZFileParser::ConvertScene(Path("missing.bin").c_str(), Path("d.xml").c_str()), 1);
    EXPECT_EQ(CKZFileParser::ConvertScene(Path("a.bin").c_str(), Path("no/such/d.xml").c_str()), 2);

    // Bytes that are not an image are refused before the destination is created.
    std::ofstream(m_dir / "empty.bin").close();
    std::ofstream(m_dir / "text.bin") << "not an image at all, just some text";
    EXPECT_EQ(CKZFileParser::ConvertScene(Path("empty.bin").c_str(), Path("e.xml").c_str()), 1);
    EXPECT_EQ(CKZFileParser::ConvertScene(Path("text.bin").c_str(), Path("e.xml").c_str()), 1);
    EXPECT_FALSE(fs::exists(m_dir / "e.xml"));
}

TEST_F(KZFileParserTest, XmlTextForm)
{
    CKZSerializer save;
    uint32_t magic = 7;
    std::string path = "<a & 'b'>";
    save.Serialize(s_keyMagic, magic);
    save.Serialize(s_keyPath, path);
    SKZFileTime time;
    time.lowDatetime = 1;
    save.Serialize(s_keyTime, time);
    ASSERT_TRUE(CKZFileParser::Save(CKZPath(Path("t.xml")), save));
    EXPECT_EQ(KZTestReadFile(m_dir / "t.xml"), "<?xml version=\"1.0\"?>\n<root>\n\t<version>3</version>\n\t<object>\n"
                                        "\t\t<uint key=\"dwmagic\">7</uint>\n"
                                        "\t\t<string key=\"szpath\">&lt;a &amp; &apos;b&apos;&gt;</string>\n"
                                        "\t\t<object key=\"time\">\n"
                                        "\t\t\t<uint key=\"filetime.lowDatetime\">1</uint>\n"
                                        "\t\t</object>\n\t</object>\n</root>");
    EXPECT_EQ(CKZFileParserXML::ValueToText(KZ_VALUE_UINT, "\x00\x00\x00\x80", 4), "-2147483648");
    int64_t seconds = 86400 + 3661;
    EXPECT_EQ(CKZFileParserXML::ValueToText(KZ_VALUE_DATE_TIME, &seconds, 8), "1970-01-02 01:01:01");
    EXPECT_EQ(CKZFileParserXML::ValueToText(KZ_VALUE_TIME, &seconds, 8), "01:01:01");
    std::string strBytes;
    EXPECT_TRUE(CKZFileParserXML::TextToValue(KZ_VALUE_DATE_TIME, "1970-01-02 01:01:01", strBytes));
    EXPECT_EQ(strBytes, std::string(reinterpret_cast<const char*>(&seconds), 8)) << "read back as UTC";
    EXPECT_TRUE(CKZFileParserXML::TextToValue(KZ_VALUE_TIME, "01:01:01", strBytes));
    EXPECT_EQ(strBytes, std::string("\x4D\x0E\0\0\0\0\0\0", 8)) << "a time alone is on the first day";
    EXPECT_FALSE(CKZFileParserXML::TextToValue(KZ_VALUE_COLOR, "1,2,3,4", strBytes));
}

TEST_F(KZFileParserTest, ReadingHandWrittenXml)
{
    // Version 1 separates array elements with ','; a value without key gets key 0; an unknown
    // entity is kept; an embedded uint comes back as a content node and reads the same.
    std::ofstream(Path("v1.xml")) << "<?xml version=\"1.0\"?>\n<root><version>1</version><object>"
                                     "<array key=\"parser.array\" type=\"uint\">1,2,3</array>"
                                     "<uint>99</uint><string key=\"szpath\">x &unknown; &lt;y&gt;</string>"
                                     "<uint key=\"dwmagic\">5</uint></object></root>";
    CKZFile file;
    ASSERT_TRUE(file.OpenInMemory(Path("v1.xml").c_str()));
    std::unique_ptr<CKZSerializer> pSerializer;
    ASSERT_EQ(CKZFileParser::Load(file, pSerializer), CKZFileParser::LOAD_OK);
    uint32_t values[3] = {0, 0, 0};
    EXPECT_TRUE(pSerializer->GetContentByKey(values, s_keyArray.GetId(), 12, SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT));
    EXPECT_EQ(values[2], 3u);
    uint32_t unkeyed = 0;
    EXPECT_TRUE(pSerializer->GetContentByKey(&unkeyed, 0, 4, SKZSerializerNode::NODE_TYPE_CONTENT));
    EXPECT_EQ(unkeyed, 99u);
    std::string path;
    pSerializer->Serialize(s_keyPath, path);
    EXPECT_EQ(path, "x &unknown; <y>");
    uint32_t magic = 0;
    pSerializer->Serialize(s_keyMagic, magic);
    EXPECT_EQ(magic, 5u);

    std::ofstream(Path("v3.xml")) << "<root><version>3</version><object><array type=\"float\">1.5;2.5</array>"
                                     "</object></root>";
    CKZFile v3;
    ASSERT_TRUE(v3.OpenInMemory(Path("v3.xml").c_str()));
    ASSERT_EQ(CKZFileParser::Load(v3, pSerializer), CKZFileParser::LOAD_OK);
    float floats[2] = {0, 0};
    EXPECT_TRUE(pSerializer->GetContentByKey(floats, 0, 8, SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT));
    EXPECT_EQ(floats[1], 2.5f);

    std::ofstream(Path("none.xml")) << "<root><version>3</version></root>";
    CKZFile none;
    ASSERT_TRUE(none.OpenInMemory(Path("none.xml").c_str()));
    EXPECT_EQ(CKZFileParser::Load(none, pSerializer), CKZFileParser::LOAD_NO_DATA);
    CKZFile notInMemory;
    ASSERT_TRUE(notInMemory.Open(Path("none.xml").c_str(), "rb"));
    EXPECT_EQ(CKZFileParser::Load(notInMemory, pSerializer), CKZFileParser::LOAD_NOT_IN_MEMORY);
}

TEST_F(KZFileParserTest, UndeclaredKeysSurviveTheXmlForm)
{
    CKZSerializer save;
    uint32_t value = 11;
    save.Serialize(CKZKey::ms_KeyNull, value); // placeholder so the image has content
    save.CreateEmbeddedContentNode(0x12345678, &value, 4, KZ_VALUE_UINT);
    ASSERT_TRUE(CKZFileParser::Save(CKZPath(Path("u.xml")), save));
    EXPECT_NE(KZTestReadFile(m_dir / "u.xml").find("<uint key=\"#305419896\">11</uint>"), std::string::npos);
    CKZFile file;
    ASSERT_TRUE(file.OpenInMemory(Path("u.xml").c_str()));
    std::unique_ptr<CKZSerializer> pSerializer;
    ASSERT_EQ(CKZFileParser::Load(file, pSerializer), CKZFileParser::LOAD_OK);
    uint32_t back = 0;
    EXPECT_TRUE(pSerializer->GetContentByKey(&back, 0x12345678, 4, SKZSerializerNode::NODE_TYPE_CONTENT));
    EXPECT_EQ(back, 11u);
}

TEST_F(KZFileParserTest, ArbitraryXmlNeverCrashes)
{
    SRecord original = Sample();
    CKZSerializer save;
    original.Serialize(&save);
    ASSERT_TRUE(CKZFileParser::Save(CKZPath(Path("g.xml")), save));
    const std::string good = KZTestReadFile(m_dir / "g.xml");
    std::mt19937 rng(12);
    const char pool[] = "<>/\"=;, &objectarraykeytypeuintstring";
    for (int k = 0; k < 800; ++k)
    {
        std::string text = good;
        if (k % 3 == 0)
            text.resize(rng() % text.size());
        for (int n = 1 + rng() % 8; n > 0 && !text.empty(); --n)
            text[rng() % text.size()] = rng() % 2 ? pool[rng() % (sizeof(pool) - 1)] : static_cast<char>(rng());
        std::ofstream(Path("f.xml"), std::ios::binary) << text;
        CKZFile file;
        ASSERT_TRUE(file.OpenInMemory(Path("f.xml").c_str()));
        std::unique_ptr<CKZSerializer> pSerializer;
        if (CKZFileParser::Load(file, pSerializer) == CKZFileParser::LOAD_OK)
        {
            SRecord r;
            r.Serialize(pSerializer.get());
        }
    }
    // Deep nesting is refused, not followed into a stack overflow.
    std::string deep = "<root><version>3</version><object>";
    for (int i = 0; i < 100000; ++i)
        deep += "<object>";
    std::ofstream(Path("deep.xml")) << deep;
    CKZFile file;
    ASSERT_TRUE(file.OpenInMemory(Path("deep.xml").c_str()));
    std::unique_ptr<CKZSerializer> pSerializer;
    EXPECT_EQ(CKZFileParser::Load(file, pSerializer), CKZFileParser::LOAD_NO_DATA);
}
