// The tools' JSON text: commas in nested arrays and objects, and strings with every byte that
// needs escaping, read back by Python's json module.

#include "Tools/Common/KZToolJsonWriter.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <fstream>

TEST(KZToolJsonWriterTest, NestingAndEscapes)
{
    const std::string strAwkward = std::string("q\"b\\t\tn\nz", 9) + std::string(1, '\0') + "\x1f\x7f\xc3\xa9";
    CKZToolJsonWriter json;
    json.BeginObject().Key("name").String(strAwkward).Key("count").Unsigned(18446744073709551615u);
    json.Key("empty").BeginArray().EndArray().Key("none").BeginObject().EndObject();
    json.Key("list").BeginArray().Bool(true).BeginObject().Key("a").Bool(false).Key("b").String("").EndObject();
    json.BeginArray().Unsigned(0).Unsigned(1).EndArray().EndArray().EndObject();
    EXPECT_EQ(json.Text(), "{\"name\":\"q\\\"b\\\\t\\u0009n\\u000az\\u0000\\u001f\x7f\xc3\xa9\","
                           "\"count\":18446744073709551615,\"empty\":[],\"none\":{},"
                           "\"list\":[true,{\"a\":false,\"b\":\"\"},[0,1]]}");

    const std::filesystem::path dir = KZTestFreshDirectory("kztooljson");
    const std::string strPath = (dir / "out.json").string();
    std::ofstream(strPath, std::ios::binary) << json.Text();
    EXPECT_EQ(KZTestRunCommand("python3 -c \"import json, sys\nd = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                               "print(d['name'].encode('utf-8').hex(), d['count'], d['list'][1]['a'])\" " + strPath),
              "7122625c74096e0a7a001f7fc3a9 18446744073709551615 False\n")
        << json.Text();
    std::filesystem::remove_all(dir);
}
